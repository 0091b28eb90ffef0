package com.vembor.tarvolex.cli;

import com.vembor.tarvolex.SerialPort;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayDeque;
import java.util.Deque;
import java.util.HexFormat;
import java.util.List;
import java.util.Locale;

/**
 * The command line of tarvolex.jar: {@code java -jar tarvolex.jar COMMAND ...}. Run it without
 * arguments for the usage text. Exit status: 0 on success, 1 on failure, 2 on a usage error.
 */
public final class Main {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    private static final String USAGE_TEXT =
            String.join(
                    "\n",
                    "Usage: java -jar tarvolex.jar COMMAND [ARGUMENTS]",
                    "",
                    "Commands:",
                    "  list                      the ports (COM1..COM40) that can be opened now",
                    "  version                   this jar's version, and where its native",
                    "                            library was loaded from",
                    "  send PORT TEXT            send TEXT as UTF-8",
                    "  send PORT -x HEX          send bytes given in hex, such as \"48 69 0d\"",
                    "  send PORT -f FILE         send a file (\"-\": standard input)",
                    "  receive PORT [-n COUNT] [-s SECONDS] [-o FILE] [-x]",
                    "                            receive until COUNT bytes have arrived or the",
                    "                            line was silent for SECONDS (default 5, 0: no",
                    "                            limit), into FILE or to standard output (-x:",
                    "                            as hex)",
                    "  term PORT                 interactive terminal: keyboard to the port,",
                    "                            the port to the screen; Ctrl-] quits",
                    "  selftest A B [-n COUNT]   two ports joined by a cable: send COUNT",
                    "                            pseudo-random bytes (default 16384) each way,",
                    "                            verify every byte, report bytes/s and errors",
                    "",
                    "PORT is a name such as COM3 or a device path such as \\\\.\\COM12; on Linux",
                    "COM3 is /dev/COM3, or $TARVOLEX_PORT_DIR/COM3 when that is set. The line",
                    "runs at 57600 bit/s 8N1. The library's trace goes to standard error.",
                    "Exit status: 0 success, 1 failure, 2 usage error.",
                    "");

    private Main() {}

    /**
     * Runs a command and exits with its status.
     *
     * @param args the command and its arguments
     */
    public static void main(String[] args) {
        int status = run(args, System.in, System.out, System.err);
        System.out.flush();
        System.exit(status);
    }

    /** Runs a command; returns its exit status. */
    static int run(String[] args, InputStream in, PrintStream out, PrintStream err) {
        Deque<String> rest = new ArrayDeque<>(List.of(args));
        String command = rest.poll();
        try {
            if (command == null) {
                throw new UsageException("no command given");
            }
            switch (command) {
            case "list":
                noMore(rest);
                return list(out);
            case "version":
                noMore(rest);
                out.println(
                        "tarvolex "
                                + SerialPort.version()
                                + ", native library from "
                                + SerialPort.nativeLibrary());
                return OK;
            case "send":
                return send(rest, in, err);
            case "receive":
                return receive(rest, out, err);
            case "term":
                String port = required(rest, "PORT");
                noMore(rest);
                return new Terminal(port, in, out, err).run();
            case "selftest":
                return SelfTest.fromArguments(rest, err).run();
            case "-h":
            case "--help":
            case "help":
                out.print(USAGE_TEXT);
                return OK;
            default:
                throw new UsageException("unknown command \"" + command + "\"");
            }
        } catch (UsageException e) {
            err.println("tarvolex: " + e.getMessage());
            err.print(USAGE_TEXT);
            return USAGE;
        } catch (IOException | RuntimeException e) {
            err.println("tarvolex: " + e.getMessage());
            return FAILED;
        } catch (UnsatisfiedLinkError e) {
            err.println("tarvolex: " + e.getMessage());
            return FAILED;
        }
    }

    private static int list(PrintStream out) {
        for (String name : SerialPort.availablePorts()) {
            out.println(name);
        }
        return OK;
    }

    private static int send(Deque<String> args, InputStream stdin, PrintStream err)
            throws IOException, UsageException {
        String portName = required(args, "PORT");
        String what = required(args, "TEXT, -x HEX or -f FILE");
        byte[] data;
        switch (what) {
        case "-x":
            data = parseHex(required(args, "HEX"));
            break;
        case "-f":
            String file = required(args, "FILE");
            data = file.equals("-") ? stdin.readAllBytes() : Files.readAllBytes(Paths.get(file));
            break;
        default:
            data = what.getBytes(StandardCharsets.UTF_8);
            break;
        }
        noMore(args);
        try (SerialPort port = SerialPort.open(portName)) {
            OutputStream out = port.getOutputStream();
            Progress progress = new Progress(err, "send " + portName, data.length);
            // Chunks, so that each write has a time-out of its own and progress can be shown.
            int chunk = 1024;
            for (int off = 0; off < data.length; off += chunk) {
                int len = Math.min(chunk, data.length - off);
                out.write(data, off, len);
                progress.update(off + len);
            }
            progress.done();
        }
        err.println("sent " + data.length + " bytes to " + portName);
        return OK;
    }

    private static int receive(Deque<String> args, PrintStream stdout, PrintStream err)
            throws IOException, UsageException {
        String portName = required(args, "PORT");
        long limit = -1;
        double silenceSeconds = 5;
        Path file = null;
        boolean hex = false;
        while (!args.isEmpty()) {
            String option = args.poll();
            switch (option) {
            case "-n":
                limit = parseCount(required(args, "COUNT"));
                break;
            case "-s":
                silenceSeconds = parseSeconds(required(args, "SECONDS"));
                break;
            case "-o":
                file = Paths.get(required(args, "FILE"));
                break;
            case "-x":
                hex = true;
                break;
            default:
                throw new UsageException("unknown option \"" + option + "\" for receive");
            }
        }
        Duration silence =
                silenceSeconds == 0
                        ? Duration.ofDays(365)
                        : Duration.ofNanos((long) (silenceSeconds * 1e9));
        long got = 0;
        try (SerialPort port = SerialPort.open(portName);
                OutputStream sink =
                        file == null ? new NonClosing(stdout) : Files.newOutputStream(file)) {
            Progress progress = new Progress(err, "receive " + portName, limit);
            HexLines hexOut = hex ? new HexLines(sink) : null;
            while (limit < 0 || got < limit) {
                int value = port.readByte(silence);
                if (value < 0) {
                    break;
                }
                if (hexOut != null) {
                    hexOut.write(value);
                } else {
                    sink.write(value);
                }
                got++;
                progress.update(got);
                if (port.getInputStream().available() == 0) {
                    sink.flush(); // a pause on the line: show what came so far
                }
            }
            if (hexOut != null) {
                hexOut.finish();
            }
            sink.flush();
            progress.done();
        }
        if (limit >= 0 && got < limit) {
            err.println(
                    "received "
                            + got
                            + " of "
                            + limit
                            + " bytes from "
                            + portName
                            + " before "
                            + silenceSeconds
                            + " s of silence");
            return FAILED;
        }
        err.println("received " + got + " bytes from " + portName);
        return OK;
    }

    static byte[] parseHex(String text) throws UsageException {
        String digits = text.replaceAll("[\\s:,]", "");
        if (digits.startsWith("0x") || digits.startsWith("0X")) {
            digits = digits.substring(2);
        }
        try {
            return HexFormat.of().parseHex(digits);
        } catch (IllegalArgumentException e) {
            throw new UsageException("not a sequence of hex bytes: \"" + text + "\"");
        }
    }

    static long parseCount(String text) throws UsageException {
        try {
            long value = Long.parseLong(text);
            if (value >= 0) {
                return value;
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw new UsageException("not a count: \"" + text + "\"");
    }

    private static double parseSeconds(String text) throws UsageException {
        try {
            double value = Double.parseDouble(text);
            if (value >= 0 && value < 1e9) {
                return value;
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw new UsageException("not a number of seconds: \"" + text + "\"");
    }

    static String required(Deque<String> args, String what) throws UsageException {
        String value = args.poll();
        if (value == null) {
            throw new UsageException("missing " + what);
        }
        return value;
    }

    static void noMore(Deque<String> args) throws UsageException {
        if (!args.isEmpty()) {
            throw new UsageException("unexpected argument \"" + args.peek() + "\"");
        }
    }

    /** A mistake in the command line: reported with the usage text, exit status 2. */
    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }

    /** Standard output, which receive must flush but not close. */
    private static final class NonClosing extends java.io.FilterOutputStream {
        NonClosing(OutputStream out) {
            super(out);
        }

        @Override
        public void close() throws IOException {
            flush();
        }
    }

    /** Received bytes as hex, sixteen to a line. */
    private static final class HexLines {
        private final OutputStream out;
        private int column;

        HexLines(OutputStream out) {
            this.out = out;
        }

        void write(int value) throws IOException {
            String text = String.format(Locale.ROOT, column == 0 ? "%02x" : " %02x", value);
            out.write(text.getBytes(StandardCharsets.US_ASCII));
            if (++column == 16) {
                out.write('\n');
                column = 0;
            }
        }

        void finish() throws IOException {
            if (column != 0) {
                out.write('\n');
            }
        }
    }
}
