package com.vembor.tarvolex.cli;

import com.vembor.tarvolex.SerialPort;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.time.Duration;
import java.util.Deque;
import java.util.Locale;
import java.util.Random;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Two ports joined by a cable: each sends the other a pseudo-random stream at the same time, and
 * every byte that arrives is compared with the one that was sent. A byte that differs, or one
 * that never arrives within a few seconds, counts as an error.
 */
final class SelfTest {
    private static final Duration SILENCE = Duration.ofSeconds(3);
    private static final int CHUNK = 256;

    private final String first;
    private final String second;
    private final long count;
    private final PrintStream err;

    private SelfTest(String first, String second, long count, PrintStream err) {
        this.first = first;
        this.second = second;
        this.count = count;
        this.err = err;
    }

    static SelfTest fromArguments(Deque<String> args, PrintStream err)
            throws Main.UsageException {
        String a = Main.required(args, "port A");
        String b = Main.required(args, "port B");
        long count = 16384;
        if ("-n".equals(args.peek())) {
            args.poll();
            count = Main.parseCount(Main.required(args, "COUNT"));
        }
        Main.noMore(args);
        if (a.equals(b)) {
            throw new Main.UsageException("selftest needs two different ports");
        }
        return new SelfTest(a, b, count, err);
    }

    int run() throws IOException {
        try (SerialPort a = SerialPort.open(first);
                SerialPort b = SerialPort.open(second)) {
            Direction there = new Direction(a, b, 0x5eed0001L);
            Direction back = new Direction(b, a, 0x5eed0002L);
            there.start();
            back.start();
            long lastShown = System.nanoTime();
            while (there.running() || back.running()) {
                there.await(200);
                back.await(200);
                if (System.nanoTime() - lastShown >= 1_000_000_000L) {
                    lastShown = System.nanoTime();
                    err.println("selftest: " + there.progress() + ", " + back.progress());
                }
            }
            err.println(there.summary());
            err.println(back.summary());
            long errors = there.errors() + back.errors();
            if (errors == 0) {
                err.println("selftest passed: " + 2 * count + " bytes verified, 0 errors");
                return Main.OK;
            }
            err.println("selftest FAILED: " + errors + " errors");
            return Main.FAILED;
        }
    }

    /** One way along the cable: a writer thread and a reader thread. */
    private final class Direction {
        private final SerialPort from;
        private final SerialPort to;
        private final long seed;
        private final AtomicLong sent = new AtomicLong();
        private final AtomicLong received = new AtomicLong();
        private final AtomicLong wrong = new AtomicLong();
        private volatile String failure;
        private volatile long nanos;
        private final Thread writer;
        private final Thread reader;

        Direction(SerialPort from, SerialPort to, long seed) {
            this.from = from;
            this.to = to;
            this.seed = seed;
            this.writer = new Thread(this::write, "selftest-write-" + from.getName());
            this.reader = new Thread(this::read, "selftest-read-" + to.getName());
        }

        void start() {
            reader.start();
            writer.start();
        }

        boolean running() {
            return writer.isAlive() || reader.isAlive();
        }

        void await(long millis) {
            try {
                reader.join(millis);
                if (!reader.isAlive()) {
                    writer.join(millis);
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }

        private void write() {
            Random stream = new Random(seed);
            byte[] chunk = new byte[CHUNK];
            try {
                OutputStream out = from.getOutputStream();
                for (long done = 0; done < count; done += chunk.length) {
                    int len = (int) Math.min(chunk.length, count - done);
                    fill(stream, chunk, len);
                    out.write(chunk, 0, len);
                    sent.addAndGet(len);
                }
            } catch (IOException e) {
                failure = "write failed: " + e.getMessage();
            }
        }

        private void read() {
            Random stream = new Random(seed);
            byte[] expected = new byte[CHUNK];
            long start = System.nanoTime();
            try {
                for (long done = 0; done < count; done += expected.length) {
                    int len = (int) Math.min(expected.length, count - done);
                    fill(stream, expected, len);
                    for (int i = 0; i < len; i++) {
                        int value = to.readByte(SILENCE);
                        if (value < 0) {
                            failure = "silence after " + received.get() + " bytes";
                            return;
                        }
                        received.incrementAndGet();
                        if ((byte) value != expected[i]) {
                            wrong.incrementAndGet();
                        }
                    }
                }
            } catch (IOException e) {
                failure = "read failed: " + e.getMessage();
            } finally {
                nanos = System.nanoTime() - start;
            }
        }

        /** The next {@code len} bytes of the stream; the same calls on both sides agree. */
        private void fill(Random stream, byte[] into, int len) {
            for (int i = 0; i < len; i++) {
                into[i] = (byte) stream.nextInt(256);
            }
        }

        long errors() {
            return wrong.get() + (count - received.get());
        }

        String progress() {
            return from.getName() + "->" + to.getName() + " " + received.get() + "/" + count;
        }

        String summary() {
            double seconds = Math.max(nanos, 1) / 1e9;
            return String.format(
                    Locale.ROOT,
                    "%s -> %s: %d bytes sent, %d received, %d errors (%d wrong, %d missing),"
                            + " %.0f bytes/s%s",
                    from.getName(),
                    to.getName(),
                    sent.get(),
                    received.get(),
                    errors(),
                    wrong.get(),
                    count - received.get(),
                    received.get() / seconds,
                    failure == null ? "" : "; " + failure);
        }
    }
}
