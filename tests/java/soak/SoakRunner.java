import com.vembor.tarvolex.Tarvolex;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;
import java.util.stream.Stream;

/**
 * The soak workloads, run in a child JVM whose standard error (the trace) is discarded and whose
 * descriptors and resident memory belong to the workload alone. Prints its figures as
 * {@code key=value} lines and every broken expectation as an {@code error=...} line; SoakTest
 * judges them. The cables are linked by the parent.
 *
 * <pre>
 * SoakRunner cycles PORT COUNT         open and close PORT COUNT times
 * SoakRunner threads SECONDS P1 .. P8  the threaded run on four cables (P1-P2, ..., P7-P8)
 * </pre>
 */
public final class SoakRunner {
    /** Margin on every time-out: the machine is shared and noisy. */
    static final long MARGIN_MILLIS = 1500;

    static final long READ_TIMEOUT_MILLIS = 1005;

    static final long IN_FLIGHT = 2048;

    private final ConcurrentLinkedQueue<String> errors = new ConcurrentLinkedQueue<>();
    private final Map<String, AtomicLong> counters = new ConcurrentHashMap<>();
    private final Map<String, AtomicLong> slowest = new ConcurrentHashMap<>();

    public static void main(String[] args) throws Exception {
        SoakRunner runner = new SoakRunner();
        switch (args[0]) {
            case "cycles" -> runner.cycles(args[1], Integer.parseInt(args[2]));
            case "threads" -> runner.threads(Integer.parseInt(args[1]), List.of(args).subList(2, 10));
            default -> throw new IllegalArgumentException(args[0]);
        }
        runner.counters.forEach((key, value) -> System.out.println(key + "=" + value));
        runner.slowest.forEach((key, value) -> System.out.println(key + "=" + value));
        runner.errors.stream().limit(20).forEach(e -> System.out.println("error=" + e));
        System.out.println("errors=" + runner.errors.size());
    }

    // ---- Open/close cycles ----

    private void cycles(String port, int count) throws Exception {
        int warmUp = Math.max(1, count / 10);
        cycleLoop(port, warmUp);
        Snapshot.take(); // loads what taking a snapshot needs
        Snapshot before = Snapshot.take();
        long start = System.nanoTime();
        cycleLoop(port, count - warmUp);
        long elapsed = System.nanoTime() - start;
        Snapshot after = Snapshot.take();
        before.print("before");
        after.print("after");
        after.printNew(before);
        System.out.println("cycles=" + count);
        System.out.println("measuredCycles=" + (count - warmUp));
        System.out.println("microsPerCycle=" + elapsed / 1000 / (count - warmUp));
    }

    private void cycleLoop(String port, int count) {
        for (int i = 0; i < count; ++i) {
            Integer handle = timed("open", 0, () -> Tarvolex.doOpen(port, 0));
            if (handle == null) {
                return;
            }
            timed("close", 0, () -> {
                Tarvolex.doClose(handle);
                return 0;
            });
        }
    }

    // ---- The threaded run ----

    private void threads(int seconds, List<String> ports) throws Exception {
        // A short run first, so that the JVM's own descriptors and memory (classes, JIT, thread
        // stacks) have settled before the baseline is taken.
        threadedWorkload(Math.min(2, seconds), ports);
        Snapshot.take();
        Snapshot before = Snapshot.take();
        counters.clear();
        slowest.clear();
        threadedWorkload(seconds, ports);
        Snapshot after = Snapshot.take();
        before.print("before");
        after.print("after");
        after.printNew(before);
        System.out.println("seconds=" + seconds);
    }

    private void threadedWorkload(int seconds, List<String> ports) throws Exception {
        AtomicBoolean stop = new AtomicBoolean();
        List<Thread> threads = new ArrayList<>();
        // Two cables carry a byte stream in each direction at once; every byte written must
        // arrive, in order.
        int[] pumpHandles = new int[4];
        for (int i = 0; i < 4; ++i) {
            pumpHandles[i] = Tarvolex.doOpen(ports.get(i), 0);
        }
        List<Pump> pumps = new ArrayList<>();
        for (int cable = 0; cable < 2; ++cable) {
            int a = pumpHandles[2 * cable];
            int b = pumpHandles[2 * cable + 1];
            pumps.add(new Pump("pump" + cable + "ab", a, b));
            pumps.add(new Pump("pump" + cable + "ba", b, a));
        }
        for (Pump pump : pumps) {
            pump.writer = start(pump.name + ".writer", () -> pump.write(stop));
            threads.add(pump.writer);
            threads.add(start(pump.name + ".reader", pump::read));
        }
        // The third cable's first end is opened, written and closed by two threads at once: at
        // most one may hold it at any time. Its other end is held by a reader that drains it.
        AtomicInteger holders = new AtomicInteger();
        for (int i = 0; i < 2; ++i) {
            threads.add(start("churn" + i, () -> churn(ports.get(4), holders, stop)));
        }
        int drained = Tarvolex.doOpen(ports.get(5), 0);
        threads.add(start("drain", () -> drain(drained, stop)));
        // The fourth cable's first end: a read and a write blocked on it, and a close from a
        // third thread. Its other end is never opened, so the line is silent and, once its
        // buffers are full, every write blocks.
        threads.add(start("racer", () -> race(ports.get(6), stop)));
        // Listing probes every port meanwhile.
        threads.add(start("lister", () -> list(stop)));

        Thread.sleep(TimeUnit.SECONDS.toMillis(seconds));
        stop.set(true);
        for (Pump pump : pumps) {
            pump.finish();
        }
        for (Thread thread : threads) {
            thread.join(60_000);
            if (thread.isAlive()) {
                errors.add(thread.getName() + " did not finish: " + List.of(thread.getStackTrace()));
            }
        }
        for (int handle : pumpHandles) {
            Tarvolex.doClose(handle);
        }
        Tarvolex.doClose(drained);
    }

    /** One direction of a cable: a writer of a counting byte stream and a reader that checks it. */
    private final class Pump {
        final String name;
        final int from;
        final int to;
        final AtomicLong written = new AtomicLong();
        final AtomicLong received = new AtomicLong();
        volatile long target = -1; // the bytes the reader must get before it stops
        Thread writer;

        Pump(String name, int from, int to) {
            this.name = name;
            this.from = from;
            this.to = to;
        }

        void write(AtomicBoolean stop) {
            ThreadLocalRandom random = ThreadLocalRandom.current();
            byte[] chunk = new byte[64];
            while (!stop.get()) {
                long next = written.get();
                // At most a few KiB in flight, as a protocol would keep it: the cable's buffers
                // never fill, so no write has to wait for the reader.
                if (next - received.get() > IN_FLIGHT) {
                    LockSupport.parkNanos(100_000);
                    continue;
                }
                if (random.nextInt(8) == 0) {
                    byte value = (byte) next;
                    timed("writeByte", writeLimit(1), () -> {
                        Tarvolex.doWrite(from, value);
                        return 0;
                    });
                    written.incrementAndGet();
                } else {
                    int length = 1 + random.nextInt(32);
                    int offset = random.nextInt(chunk.length - length + 1);
                    for (int i = 0; i < length; ++i) {
                        chunk[offset + i] = (byte) (next + i);
                    }
                    timed("writeRange", writeLimit(length), () -> {
                        Tarvolex.doWrite(from, chunk, offset, length);
                        return 0;
                    });
                    written.addAndGet(length);
                }
            }
        }

        /**
         * Tells the reader how many bytes to expect, once the writer has stopped: a chunk written
         * after the count was taken would stay in the cable and open the next run's stream.
         */
        void finish() throws InterruptedException {
            writer.join();
            target = written.get();
        }

        void read() {
            int silences = 0;
            while (target < 0 || received.get() < target) {
                Integer value = timed("read", READ_TIMEOUT_MILLIS, () -> Tarvolex.doRead(to));
                if (value == null) {
                    return;
                }
                if (value == -1) {
                    // A silent second while the writer runs is a lost byte stream; after the
                    // writer stopped it means bytes were lost.
                    if (target >= 0 && ++silences > 2) {
                        errors.add(name + ": " + (target - received.get()) + " bytes never arrived");
                        return;
                    }
                    count("readSilent");
                    continue;
                }
                if (value != (int) (received.get() & 0xff)) {
                    errors.add(name + ": byte " + received + " is " + value);
                    return;
                }
                received.incrementAndGet();
            }
            count("pumpedBytes", received.get());
        }
    }

    private void churn(String port, AtomicInteger holders, AtomicBoolean stop) {
        while (!stop.get()) {
            int handle;
            try {
                handle = timedChecked("open", 0, () -> Tarvolex.doOpen(port, 0));
            } catch (Exception refused) {
                expect("Connection failed.", refused);
                count("openRefused");
                continue;
            }
            if (holders.incrementAndGet() != 1) {
                errors.add("two opens of " + port + " succeeded at once");
            }
            timed("writeByte", writeLimit(1), () -> {
                Tarvolex.doWrite(handle, (byte) 0x55);
                return 0;
            });
            holders.decrementAndGet();
            timed("close", 0, () -> {
                Tarvolex.doClose(handle);
                return 0;
            });
        }
    }

    private void drain(int handle, AtomicBoolean stop) {
        while (!stop.get()) {
            Integer value = timed("read", READ_TIMEOUT_MILLIS, () -> Tarvolex.doRead(handle));
            if (value == null) {
                return;
            }
            if (value != -1) {
                count("drainedBytes");
            }
        }
    }

    private void race(String port, AtomicBoolean stop) {
        byte[] data = new byte[256];
        while (!stop.get()) {
            int handle;
            try {
                handle = Tarvolex.doOpen(port, 0);
            } catch (IOException refused) {
                count("openRefused"); // the lister's probe held it
                continue;
            }
            CountDownLatch started = new CountDownLatch(2);
            AtomicLong closedAt = new AtomicLong(Long.MAX_VALUE);
            Thread reader = start("racer.read", () -> {
                started.countDown();
                try {
                    int value = Tarvolex.doRead(handle);
                    if (value != -1) {
                        errors.add("a read on a silent line returned " + value);
                    }
                } catch (Exception notStarted) {
                    expect("Can not read serial port.", notStarted); // began after the close
                }
                returnedAfterClose("readClosed", closedAt);
            });
            Thread writer = start("racer.write", () -> {
                started.countDown();
                try {
                    Tarvolex.doWrite(handle, data, 0, data.length);
                    count("raceWriteCompleted"); // the buffers still had room
                } catch (IOException cut) {
                    expect("Cannot write to serial port.", cut);
                    count("raceWriteCut");
                }
                returnedAfterClose("writeClosed", closedAt);
            });
            try {
                started.await();
                Thread.sleep(ThreadLocalRandom.current().nextInt(50));
                closedAt.set(System.nanoTime());
                Tarvolex.doClose(handle);
                reader.join();
                writer.join();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return;
            }
            count("races");
        }
    }

    /** Records how long after the close a racing transfer returned. */
    private void returnedAfterClose(String what, AtomicLong closedAt) {
        long late = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - closedAt.get());
        worst("overrunMillis." + what, Math.max(0, late));
    }

    private void list(AtomicBoolean stop) {
        while (!stop.get()) {
            String[] ports = timed("list", 0, Tarvolex::listPorts);
            if (ports.length != 40) {
                errors.add("listPorts returned " + ports.length + " entries");
            }
            try {
                Thread.sleep(100);
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    // ---- Helpers ----

    interface Call<T> {
        T call() throws Exception;
    }

    /** Runs a call that must not raise; see {@link #timedChecked}. */
    private <T> T timed(String what, long limitMillis, Call<T> call) {
        try {
            return timedChecked(what, limitMillis, call);
        } catch (Exception e) {
            errors.add(what + " raised " + e);
            return null;
        }
    }

    /**
     * Runs a call and records how long it took, and by how much it overran its time-out (a
     * read's 1005 ms, a write's 10 ms a byte plus 50 ms, 0 for the calls that never wait).
     */
    private <T> T timedChecked(String what, long limitMillis, Call<T> call) throws Exception {
        long start = System.nanoTime();
        try {
            return call.call();
        } finally {
            long millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            count(what);
            worst("slowestMillis." + what, millis);
            worst("overrunMillis." + what, millis - limitMillis);
        }
    }

    private void worst(String key, long value) {
        slowest.computeIfAbsent(key, k -> new AtomicLong(Long.MIN_VALUE))
                .accumulateAndGet(value, Math::max);
    }

    static long writeLimit(int bytes) {
        return 10L * bytes + 50;
    }

    private void expect(String message, Exception e) {
        if (!message.equals(e.getMessage())) {
            errors.add("expected \"" + message + "\", got " + e);
        }
    }

    private void count(String what) {
        count(what, 1);
    }

    private void count(String what, long n) {
        counters.computeIfAbsent(what, k -> new AtomicLong()).addAndGet(n);
    }

    private Thread start(String name, Runnable body) {
        Thread thread = new Thread(() -> {
            try {
                body.run();
            } catch (Throwable t) {
                errors.add(name + " failed: " + t);
            }
        }, name);
        thread.start();
        return thread;
    }

    /** The process's open descriptors (what each names) and resident anonymous memory. */
    record Snapshot(List<String> descriptors, long rssAnonKb) {
        static Snapshot take() throws IOException {
            System.gc();
            List<String> descriptors = new ArrayList<>();
            try (Stream<Path> fds = Files.list(Paths.get("/proc/self/fd"))) {
                for (Path fd : (Iterable<Path>) fds::iterator) {
                    try {
                        descriptors.add(fd.getFileName() + "->" + Files.readSymbolicLink(fd));
                    } catch (IOException gone) {
                        // the listing's own descriptor, closed by now
                    }
                }
            }
            long rss = -1;
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
                if (line.startsWith("RssAnon:")) {
                    rss = Long.parseLong(line.replaceAll("[^0-9]", ""));
                }
            }
            return new Snapshot(descriptors, rss);
        }

        void print(String when) {
            System.out.println("descriptors." + when + "=" + descriptors.size());
            System.out.println("rssAnonKb." + when + "=" + rssAnonKb);
        }

        /** Prints the descriptors that are open now but were not before. */
        void printNew(Snapshot before) {
            List<String> added = new ArrayList<>(descriptors);
            added.removeAll(before.descriptors);
            if (!added.isEmpty()) {
                System.out.println("descriptors.new=" + added);
            }
        }
    }
}
