package com.vembor.tarvolex.bench;

import com.vembor.tarvolex.Tarvolex;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.StringJoiner;

/**
 * The Java side of each benchmark workload, through the library's native methods on COM3 in a real
 * JVM. Started by bench-host, which holds the pty's master side; it mirrors bench-client, the C
 * baseline, step for step (see host.c for the control lines).
 *
 * <p>Usage: {@code Bench read|echo|bulk|list|silent|cpu}
 */
public final class Bench {
    private static final String PORT = "COM3";
    private static final BufferedReader CONTROL =
            new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII));

    private Bench() {}

    public static void main(String[] args) throws Exception {
        if (args.length != 1) {
            System.err.println("usage: Bench read|echo|bulk|list|silent|cpu");
            System.exit(2);
        }
        String workload = args[0];
        if (workload.equals("list")) {
            say("ready");
            list();
            return;
        }
        int handle = Tarvolex.doOpen(PORT, 0);
        say("ready");
        try {
            switch (workload) {
                case "read" -> perByteRead(handle);
                case "echo" -> echo(handle);
                case "bulk" -> bulkWrite(handle);
                case "silent" -> silent(handle);
                case "cpu" -> cpu(handle);
                default -> throw new IllegalArgumentException("unknown workload " + workload);
            }
        } finally {
            Tarvolex.doClose(handle);
        }
    }

    private static void say(String line) {
        System.out.println(line);
        System.out.flush();
    }

    private static String[] goLine(int fields) throws IOException {
        String line = CONTROL.readLine();
        if (line == null || !line.startsWith("go")) {
            throw new IOException("expected a go line, got " + line);
        }
        String[] words = line.trim().split(" ");
        if (words.length != fields + 1) {
            throw new IOException("malformed go line: " + line);
        }
        return Arrays.copyOfRange(words, 1, words.length);
    }

    /** The value at fraction q of the sorted samples (nearest rank). */
    private static long quantile(long[] samples, double q) {
        long[] sorted = samples.clone();
        Arrays.sort(sorted);
        int rank = (int) Math.ceil(q * sorted.length);
        return sorted[Math.max(1, Math.min(sorted.length, rank)) - 1];
    }

    private static void perByteRead(int handle) throws Exception {
        String[] go = goLine(2);
        long warm = Long.parseLong(go[0]);
        long total = Long.parseLong(go[1]);
        long done = 0;
        long timedNanos = 0;
        int sum = 0;
        for (String line; (line = CONTROL.readLine()) != null && !line.equals("end"); ) {
            int count = Integer.parseInt(line.trim());
            long start = System.nanoTime();
            for (int i = 0; i < count; ++i) {
                int value = Tarvolex.doRead(handle);
                if (value < 0) {
                    throw new IOException("doRead timed out with bytes waiting");
                }
                sum += value;
            }
            long elapsed = System.nanoTime() - start;
            if (done >= warm) {
                timedNanos += elapsed;
            }
            done += count;
            say("done");
        }
        System.out.printf("read_bytes_per_s %.0f%n", total * 1e9 / timedNanos);
        System.out.printf("read_sum %d%n", Integer.toUnsignedLong(sum));
    }

    private static void echo(int handle) throws Exception {
        String[] go = goLine(2);
        int warm = Integer.parseInt(go[0]);
        int rounds = Integer.parseInt(go[1]);
        long[] nanos = new long[rounds];
        for (int i = -warm; i < rounds; ++i) {
            byte out = (byte) i;
            long start = System.nanoTime();
            Tarvolex.doWrite(handle, out);
            int in = Tarvolex.doRead(handle);
            long elapsed = System.nanoTime() - start;
            if (in != (out & 0xFF)) {
                throw new IOException("echo returned " + in + " for " + (out & 0xFF));
            }
            if (i >= 0) {
                nanos[i] = elapsed;
            }
        }
        System.out.printf("echo_median_us %.2f%n", quantile(nanos, 0.5) / 1e3);
        System.out.printf("echo_p99_us %.2f%n", quantile(nanos, 0.99) / 1e3);
    }

    private static void bulkWrite(int handle) throws Exception {
        String[] go = goLine(3);
        long warm = Long.parseLong(go[0]);
        long total = Long.parseLong(go[1]);
        int block = Integer.parseInt(go[2]);
        byte[] bytes = new byte[block];
        for (int i = 0; i < block; ++i) {
            bytes[i] = (byte) i;
        }
        for (long sent = 0; sent < warm; sent += block) {
            Tarvolex.doWrite(handle, bytes, 0, block);
        }
        long start = System.nanoTime();
        for (long sent = 0; sent < total; sent += block) {
            Tarvolex.doWrite(handle, bytes, 0, block);
        }
        long elapsed = System.nanoTime() - start;
        System.out.printf("bulk_mb_per_s %.2f%n", total * 1e3 / elapsed);
    }

    private static void list() throws Exception {
        String[] go = goLine(2);
        int warm = Integer.parseInt(go[0]);
        int calls = Integer.parseInt(go[1]);
        long[] nanos = new long[calls];
        String[] ports = null;
        for (int call = -warm; call < calls; ++call) {
            long start = System.nanoTime();
            ports = Tarvolex.listPorts();
            long elapsed = System.nanoTime() - start;
            if (call >= 0) {
                nanos[call] = elapsed;
            }
        }
        StringJoiner found = new StringJoiner(",");
        for (String port : ports) {
            if (!port.isEmpty()) {
                found.add(port);
            }
        }
        System.out.printf("list_ms %.4f%n", quantile(nanos, 0.5) / 1e6);
        System.out.printf("list_found %s%n", found.length() > 0 ? found : "none");
    }

    private static void silent(int handle) throws Exception {
        goLine(0);
        long start = System.nanoTime();
        int value = Tarvolex.doRead(handle);
        long elapsed = System.nanoTime() - start;
        if (value != -1) {
            throw new IOException("a silent line read " + value);
        }
        System.out.printf("silent_ms %.2f%n", elapsed / 1e6);
    }

    /** Nanoseconds a thread has run, the first field of a /proc schedstat file. */
    private static long runNanos(Path schedstat) throws IOException {
        String text = Files.readString(schedstat);
        return Long.parseLong(text.substring(0, text.indexOf(' ')));
    }

    /** Nanoseconds all live threads of this JVM have run. */
    private static long processNanos() throws IOException {
        long total = 0;
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Paths.get("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    total += runNanos(task.resolve("schedstat"));
                } catch (NoSuchFileException gone) {
                    // a thread that ended meanwhile
                }
            }
        }
        return total;
    }

    /**
     * The whole JVM's CPU use over two seconds with every thread idle, then over two seconds in
     * which one thread sits in doRead on a silent line, and that thread's own share.
     */
    private static void cpu(int handle) throws Exception {
        goLine(0);
        Thread.sleep(1000); // let start-up work (compilation, class loading) settle
        long idleStart = processNanos();
        long idleWall = System.nanoTime();
        Thread.sleep(2000);
        double idle = (double) (processNanos() - idleStart) / (System.nanoTime() - idleWall);

        Path own = Paths.get("/proc/thread-self/schedstat");
        long[] reader = new long[2];
        long readerEnd = System.nanoTime() + 2_000_000_000L;
        Thread thread =
                new Thread(
                        () -> {
                            try {
                                long start = runNanos(own);
                                long wall = System.nanoTime();
                                while (System.nanoTime() < readerEnd) {
                                    if (Tarvolex.doRead(handle) != -1) {
                                        throw new IOException("a silent line sent a byte");
                                    }
                                }
                                reader[0] = runNanos(own) - start;
                                reader[1] = System.nanoTime() - wall;
                            } catch (Exception e) {
                                throw new IllegalStateException(e);
                            }
                        },
                        "tvx-reader");
        long blockedStart = processNanos();
        long blockedWall = System.nanoTime();
        thread.start();
        Thread.sleep(2000);
        double blocked = (double) (processNanos() - blockedStart) / (System.nanoTime() - blockedWall);
        thread.join();
        if (reader[1] == 0) {
            throw new IOException("the reader failed");
        }
        System.out.printf("cpu_idle_pct %.4f%n", idle * 100);
        System.out.printf("cpu_blocked_pct %.4f%n", blocked * 100);
        System.out.printf("cpu_reader_pct %.4f%n", (double) reader[0] / reader[1] * 100);
    }
}
