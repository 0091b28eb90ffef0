package com.vembor.tarvolex.testing;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * A second Java virtual machine running a {@code main} method of a class on this JVM's own class
 * path and library path, with this JVM's environment. Its standard output and error are kept
 * byte for byte, so that the library's trace lines and anything written to the wrong descriptor
 * can be checked.
 *
 * <pre>
 * ChildJvm.Result result = ChildJvm.run(Main.class, "", "COM3");
 * assertEquals(List.of("doOpen port = \\\\.\\COM3", ...), result.traceMessages());
 * </pre>
 */
public final class ChildJvm implements AutoCloseable {
    private static final Duration EXIT_WITHIN = Duration.ofSeconds(60);

    /** A trace line: the stamp HH:MM:SS.000, two blanks, the library's name, the message. */
    public static final Pattern TRACE_LINE =
            Pattern.compile("(\\d\\d):(\\d\\d):(\\d\\d)\\.000  Tarvolex: (.*)");

    private final Process process;
    private final Drain stdout;
    private final Drain stderr;

    private ChildJvm(Process process) {
        this.process = process;
        this.stdout = new Drain(process.getInputStream());
        this.stderr = new Drain(process.getErrorStream());
    }

    /** Starts {@code main} with {@code args}; its standard input stays open until {@link #finish}. */
    public static ChildJvm start(Class<?> main, String... args) throws IOException {
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Djava.library.path=" + System.getProperty("java.library.path"));
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(main.getName());
        command.addAll(List.of(args));
        return new ChildJvm(new ProcessBuilder(command).start());
    }

    /** Runs {@code main} to its end with {@code input} as its standard input. */
    public static Result run(Class<?> main, String input, String... args) throws IOException {
        try (ChildJvm child = start(main, args)) {
            child.send(input);
            return child.finish();
        }
    }

    /** Writes text to the child's standard input. */
    public void send(String text) throws IOException {
        OutputStream in = process.getOutputStream();
        in.write(text.getBytes(StandardCharsets.UTF_8));
        in.flush();
    }

    /**
     * Waits until the child's standard output holds {@code text}, and fails when the child ends
     * or the time passes first.
     */
    public void awaitOutput(String text, Duration within) throws InterruptedException {
        long deadline = System.nanoTime() + within.toNanos();
        while (!stdout.text().contains(text)) {
            if (!process.isAlive() && !stdout.isAlive()) {
                throw new AssertionError(
                        "child ended without writing \"" + text + "\"; it wrote:\n"
                                + stdout.text() + "\nand on standard error:\n" + stderr.text());
            }
            if (System.nanoTime() > deadline) {
                throw new AssertionError("child did not write \"" + text + "\" in time");
            }
            Thread.sleep(10);
        }
    }

    /** Closes the child's standard input and waits for it to end. */
    public Result finish() throws IOException {
        process.getOutputStream().close();
        try {
            if (!process.waitFor(EXIT_WITHIN.toSeconds(), TimeUnit.SECONDS)) {
                throw new AssertionError("child JVM did not end within " + EXIT_WITHIN);
            }
            stdout.join();
            stderr.join();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError("interrupted while waiting for the child JVM", e);
        }
        return new Result(process.exitValue(), stdout.bytes(), stderr.bytes());
    }

    /** Ends the child if it still runs. */
    @Override
    public void close() {
        process.destroyForcibly();
    }

    /**
     * What a child JVM left behind. The streams are held as ISO-8859-1 text, one character per
     * byte, so that any byte sequence (such as the modified UTF-8 of a traced port name) compares
     * exactly.
     */
    public static final class Result {
        private final int exitCode;
        private final String stdout;
        private final String stderr;

        Result(int exitCode, byte[] stdout, byte[] stderr) {
            this.exitCode = exitCode;
            this.stdout = new String(stdout, StandardCharsets.ISO_8859_1);
            this.stderr = new String(stderr, StandardCharsets.ISO_8859_1);
        }

        public int exitCode() {
            return exitCode;
        }

        public String stdout() {
            return stdout;
        }

        public String stderr() {
            return stderr;
        }

        /** Standard output split into lines. */
        public List<String> stdoutLines() {
            return stdout.lines().toList();
        }

        /**
         * The messages of the trace lines on standard error, in order; fails on any other line,
         * so that a trace always looks the same and nothing else reaches standard error.
         */
        public List<String> traceMessages() {
            List<String> messages = new ArrayList<>();
            for (String line : stderr.split("\n", -1)) {
                if (line.isEmpty()) {
                    continue;
                }
                Matcher trace = TRACE_LINE.matcher(line);
                if (!trace.matches()) {
                    throw new AssertionError("not a trace line on standard error: " + shorten(line));
                }
                messages.add(trace.group(4));
            }
            return messages;
        }

        /** Fails unless the child ended with exit code 0. */
        public Result assertSucceeded() {
            if (exitCode != 0) {
                throw new AssertionError(
                        "child JVM ended with " + exitCode + "; standard output:\n" + shorten(stdout)
                                + "\nstandard error:\n" + shorten(stderr));
            }
            return this;
        }

        private static String shorten(String text) {
            return text.length() <= 2000 ? text : text.substring(0, 2000) + "...";
        }
    }

    /** Reads one stream of the child to its end on a thread of its own. */
    private static final class Drain extends Thread {
        private final InputStream stream;
        private final ByteArrayOutputStream kept = new ByteArrayOutputStream();

        Drain(InputStream stream) {
            this.stream = stream;
            setDaemon(true);
            start();
        }

        @Override
        public void run() {
            byte[] chunk = new byte[8192];
            try (stream) {
                for (int n; (n = stream.read(chunk)) >= 0; ) {
                    synchronized (kept) {
                        kept.write(chunk, 0, n);
                    }
                }
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }

        byte[] bytes() {
            synchronized (kept) {
                return kept.toByteArray();
            }
        }

        String text() {
            return new String(bytes(), StandardCharsets.ISO_8859_1);
        }
    }
}
