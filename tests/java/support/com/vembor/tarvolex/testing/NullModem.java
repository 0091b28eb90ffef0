package com.vembor.tarvolex.testing;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A virtual null-modem cable: a socat pty pair whose two ends are linked as two COM names in the
 * port folder that TARVOLEX_PORT_DIR names, so that the library opens them as COM ports.
 *
 * <pre>
 * try (NullModem cable = NullModem.link("COM3", "COM4")) { ... }
 * </pre>
 */
public final class NullModem implements AutoCloseable {
    private static final long READY_MILLIS = 10_000;

    private final Process socat;
    private final Path first;
    private final Path second;

    private NullModem(Process socat, Path first, Path second) {
        this.socat = socat;
        this.first = first;
        this.second = second;
    }

    /** The folder in which COM names are linked, created if needed. */
    public static Path portDir() throws IOException {
        String dir = System.getenv("TARVOLEX_PORT_DIR");
        if (dir == null || dir.isEmpty()) {
            throw new IllegalStateException("TARVOLEX_PORT_DIR is not set");
        }
        return Files.createDirectories(Paths.get(dir));
    }

    /** Links a new cable's two ends as {@code firstName} and {@code secondName}. */
    public static NullModem link(String firstName, String secondName) throws IOException {
        Path dir = portDir();
        Path first = dir.resolve(firstName);
        Path second = dir.resolve(secondName);
        Files.deleteIfExists(first);
        Files.deleteIfExists(second);
        String socat = System.getenv().getOrDefault("TARVOLEX_SOCAT", "socat");
        Process process =
                new ProcessBuilder(
                                socat,
                                "pty,raw,echo=0,link=" + first,
                                "pty,raw,echo=0,link=" + second)
                        .redirectErrorStream(true)
                        .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                        .start();
        NullModem cable = new NullModem(process, first, second);
        long deadline = System.currentTimeMillis() + READY_MILLIS;
        while (!(Files.exists(first) && Files.exists(second))) {
            if (!process.isAlive() || System.currentTimeMillis() > deadline) {
                cable.close();
                throw new IOException("socat did not link " + first + " and " + second);
            }
            sleep(10);
        }
        return cable;
    }

    /** The pty behind the first end, such as /dev/pts/3. */
    public Path firstDevice() throws IOException {
        return first.toRealPath();
    }

    /** The pty behind the second end. */
    public Path secondDevice() throws IOException {
        return second.toRealPath();
    }

    /**
     * Runs stty on the pty behind the first end with {@code args}, such as {@code "-a"} or
     * {@code "9600", "cstopb"}, and returns what it printed; fails when stty does.
     */
    public String sttyFirst(String... args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>(List.of("stty", "-F", firstDevice().toString()));
        command.addAll(List.of(args));
        Process stty = new ProcessBuilder(command).redirectErrorStream(true).start();
        String output = new String(stty.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (stty.waitFor() != 0) {
            throw new IOException(String.join(" ", command) + " failed: " + output);
        }
        return output;
    }

    /** Pulls the cable: socat ends, and both ptys hang up. The links stay until close. */
    public void unplug() {
        socat.destroy();
        try {
            socat.waitFor(5, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Override
    public void close() throws IOException {
        unplug();
        if (socat.isAlive()) {
            socat.destroyForcibly();
        }
        Files.deleteIfExists(first);
        Files.deleteIfExists(second);
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
