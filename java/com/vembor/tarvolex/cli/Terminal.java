package com.vembor.tarvolex.cli;

import com.vembor.tarvolex.SerialPort;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

/**
 * An interactive terminal: keys go to the port as they are typed, received bytes go to the
 * screen unchanged. Ctrl-] quits, and so does the end of the input.
 *
 * <p>On a Linux console the keyboard is switched to raw mode with stty for the session, so that
 * every key (Ctrl-C too) reaches the port at once. Elsewhere input is line by line: a line is
 * sent when Enter is pressed, and Ctrl-] then Enter quits.
 */
final class Terminal {
    static final int QUIT = 0x1d; // Ctrl-]

    private final String portName;
    private final InputStream keyboard;
    private final PrintStream screen;
    private final PrintStream err;

    Terminal(String portName, InputStream keyboard, PrintStream screen, PrintStream err) {
        this.portName = portName;
        this.keyboard = keyboard;
        this.screen = screen;
        this.err = err;
    }

    int run() throws IOException {
        try (SerialPort port = SerialPort.open(portName)) {
            Thread toScreen = new Thread(() -> copyToScreen(port), "tarvolex-term-screen");
            toScreen.setDaemon(true);
            toScreen.start();
            RawMode raw = RawMode.enter(keyboard == System.in);
            err.println(
                    "Connected to "
                            + portName
                            + " at 57600 bit/s 8N1. Ctrl-] quits"
                            + (raw == null ? " (then Enter)." : "."));
            try {
                OutputStream toPort = port.getOutputStream();
                byte[] keys = new byte[256];
                int n;
                quit:
                while ((n = keyboard.read(keys)) > 0) {
                    for (int i = 0; i < n; i++) {
                        if (keys[i] == QUIT) {
                            toPort.write(keys, 0, i);
                            break quit;
                        }
                    }
                    toPort.write(keys, 0, n);
                }
            } finally {
                if (raw != null) {
                    raw.leave();
                }
            }
        }
        err.println();
        err.println("Disconnected from " + portName + ".");
        return Main.OK;
    }

    private void copyToScreen(SerialPort port) {
        try {
            InputStream in = port.getInputStream();
            byte[] buffer = new byte[1024];
            int n;
            while ((n = in.read(buffer)) > 0) {
                screen.write(buffer, 0, n);
                screen.flush();
            }
        } catch (IOException e) {
            if (port.isOpen()) {
                err.println();
                err.println("tarvolex: " + e.getMessage());
            }
        }
    }

    /** The console's raw mode, through stty on the controlling terminal. */
    private static final class RawMode {
        private final String saved;

        private RawMode(String saved) {
            this.saved = saved;
        }

        /** Switches the console to raw mode; null when there is no POSIX console to switch. */
        static RawMode enter(boolean keyboardIsStdin) {
            if (!keyboardIsStdin
                    || System.console() == null
                    || System.getProperty("os.name", "").startsWith("Windows")) {
                return null;
            }
            try {
                String saved = stty("-g").trim();
                if (saved.isEmpty() || stty("raw", "-echo") == null) {
                    return null;
                }
                RawMode mode = new RawMode(saved);
                Runtime.getRuntime().addShutdownHook(new Thread(mode::leave));
                return mode;
            } catch (IOException e) {
                return null;
            }
        }

        void leave() {
            try {
                stty(saved);
            } catch (IOException e) {
                // the console keeps raw mode; `stty sane` repairs it
            }
        }

        /** Runs stty on /dev/tty; returns its output, or null when it failed. */
        private static String stty(String... args) throws IOException {
            String command = "stty " + String.join(" ", args) + " < /dev/tty";
            Process process =
                    new ProcessBuilder("sh", "-c", command)
                            .redirectError(ProcessBuilder.Redirect.INHERIT)
                            .start();
            String output =
                    new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            try {
                return process.waitFor() == 0 ? output : null;
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return null;
            }
        }
    }
}
