package com.vembor.tarvolex;

import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.io.OutputStream;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.TimeUnit;

/**
 * A serial port, opened by name, with an {@link InputStream} and an {@link OutputStream}.
 *
 * <pre>{@code
 * try (SerialPort port = SerialPort.open("COM3")) {
 *     port.getOutputStream().write("AT\r".getBytes(StandardCharsets.US_ASCII));
 *     int reply = port.getInputStream().read(); // waits until a byte arrives
 * }
 * }</pre>
 *
 * <p>The line runs at 57600 bit/s, 8 data bits, no parity, one stop bit. A port is held
 * exclusively until it is closed. Its streams may be used from different threads, one reading
 * while another writes; {@link #close()} from any thread ends a read that is waiting. Every call
 * after close fails with an {@link IOException}.
 *
 * <p>Received bytes are read ahead into a buffer of 64 KiB by a daemon thread that the first
 * read starts, so that {@link InputStream#available()} and bulk reads return what has arrived
 * without waiting a time-out per byte. A port that is only written to has no such thread.
 */
public final class SerialPort implements AutoCloseable {
    private static final int BUFFER_SIZE = 1 << 16;
    private static final long RELEASE_NANOS = TimeUnit.SECONDS.toNanos(2);

    private final String name;
    private final int handle;
    private final Object lock = new Object();
    // Guarded by lock: a ring of received bytes, the state, and the read-ahead thread.
    private final byte[] received = new byte[BUFFER_SIZE];
    private int head;
    private int count;
    private boolean closed;
    private IOException readFailure;
    private Thread readAhead;
    private boolean readAheadRunning;
    private int writesRunning;

    private final InputStream input = new PortInputStream();
    private final OutputStream output = new PortOutputStream();

    private SerialPort(String name, int handle) {
        this.name = name;
        this.handle = handle;
    }

    /**
     * Opens a port for exclusive use at 57600 bit/s 8N1.
     *
     * @param name a port name such as {@code "COM3"}, or a device path such as {@code
     *     "\\\\.\\COM12"}
     * @return the open port
     * @throws IOException when the port does not exist, is in use, or refuses the settings
     */
    public static SerialPort open(String name) throws IOException {
        Objects.requireNonNull(name, "name");
        try {
            return new SerialPort(name, Tarvolex.doOpen(name, 0));
        } catch (IOException e) {
            throw new IOException("Cannot open " + name + ": " + e.getMessage(), e);
        }
    }

    /**
     * Lists the ports COM1 to COM40 that can be opened at this moment. A port that is open,
     * here or elsewhere, is not listed.
     *
     * @return the names, such as {@code "COM3"}, in ascending order
     */
    public static List<String> availablePorts() {
        String[] found = Tarvolex.listPorts();
        if (found == null) {
            return List.of();
        }
        return Arrays.stream(found).filter(n -> n != null && !n.isEmpty()).toList();
    }

    /**
     * Where the native library was loaded from, loading it if that has not happened yet.
     *
     * @return "java.library.path" for an installed library, or the file that was extracted
     *     from the jar
     */
    public static String nativeLibrary() {
        NativeLoader.load();
        return NativeLoader.loadedFrom();
    }

    /**
     * The version of the jar.
     *
     * @return the manifest's Implementation-Version, or "unknown" outside a jar
     */
    public static String version() {
        String version = SerialPort.class.getPackage().getImplementationVersion();
        return version == null ? "unknown" : version;
    }

    /**
     * The name this port was opened with.
     *
     * @return the name
     */
    public String getName() {
        return name;
    }

    /**
     * Whether the port is still open.
     *
     * @return false once {@link #close()} was called
     */
    public boolean isOpen() {
        synchronized (lock) {
            return !closed;
        }
    }

    /**
     * The stream of received bytes. Its {@code read()} waits as long as it takes for a byte
     * (silence is not the end of the stream) and returns -1 only when the port is closed while
     * it waits; a read begun after close throws. {@code read(byte[], int, int)} waits for the
     * first byte and returns it with whatever else has arrived. Closing the stream closes the
     * port.
     *
     * @return the input stream, the same one on every call
     */
    public InputStream getInputStream() {
        return input;
    }

    /**
     * The stream to the port. A write returns once its bytes are written, and fails with an
     * {@link IOException} when not all of them could be written in time (10 ms per byte plus 50
     * ms). Closing the stream closes the port.
     *
     * @return the output stream, the same one on every call
     */
    public OutputStream getOutputStream() {
        return output;
    }

    /**
     * Reads one byte, waiting at most {@code timeout} for it.
     *
     * @param timeout how long to wait; zero or negative takes what has already arrived
     * @return the byte, 0 to 255, or -1 when none arrived in time
     * @throws IOException when the port is closed, before or during the wait, or the device
     *     has hung up
     * @throws InterruptedIOException when the waiting thread is interrupted
     */
    public int readByte(Duration timeout) throws IOException {
        byte[] one = new byte[1];
        int got = take(one, 0, 1, Math.max(0, timeout.toNanos()));
        if (got < 0) {
            throw closedException();
        }
        return got == 0 ? -1 : one[0] & 0xff;
    }

    /**
     * Closes the port. A read waiting on another thread returns at once; every later call
     * fails with an {@link IOException}. When this returns, the port can be opened again (a
     * write still under way on another thread is first given up to two seconds to end). Closing
     * again does nothing.
     */
    @Override
    public void close() {
        synchronized (lock) {
            if (closed) {
                return;
            }
            closed = true;
            lock.notifyAll();
        }
        // Not under the lock: the native close is what ends a read-ahead or a write that is
        // still waiting in the library. Nothing starts a new native call once closed is set;
        // only a call that passed its check just before this point can still be on its way in.
        Tarvolex.doClose(handle);
        // The device is let go when the last transfer on it has ended, which the close has
        // just hastened; wait for that, so that the port can be opened again at once.
        synchronized (lock) {
            long deadline = System.nanoTime() + RELEASE_NANOS;
            try {
                while (readAheadRunning || writesRunning > 0) {
                    long left = deadline - System.nanoTime();
                    if (left <= 0) {
                        break;
                    }
                    TimeUnit.NANOSECONDS.timedWait(lock, left);
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /**
     * Describes the port.
     *
     * @return the name and whether it is open
     */
    @Override
    public String toString() {
        return "SerialPort[" + name + (isOpen() ? "]" : ", closed]");
    }

    private IOException closedException() {
        return new IOException(name + " is closed");
    }

    /**
     * Takes up to {@code len} received bytes, waiting for the first one as long as {@code
     * timeoutNanos} allows (negative: no limit). Returns how many were taken, 0 when the time
     * ran out, -1 when the port was closed during the wait.
     */
    private int take(byte[] b, int off, int len, long timeoutNanos) throws IOException {
        synchronized (lock) {
            if (closed) {
                throw closedException();
            }
            startReadAhead();
            long deadline = System.nanoTime() + timeoutNanos;
            try {
                while (count == 0) {
                    if (closed) {
                        return -1;
                    }
                    if (readFailure != null) {
                        throw new IOException(readFailure.getMessage(), readFailure);
                    }
                    if (timeoutNanos < 0) {
                        lock.wait();
                    } else {
                        long left = deadline - System.nanoTime();
                        if (left <= 0) {
                            return 0;
                        }
                        TimeUnit.NANOSECONDS.timedWait(lock, left);
                    }
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new InterruptedIOException("Interrupted while reading " + name);
            }
            int n = Math.min(len, count);
            int first = Math.min(n, received.length - head);
            System.arraycopy(received, head, b, off, first);
            System.arraycopy(received, 0, b, off + first, n - first);
            head = (head + n) % received.length;
            count -= n;
            lock.notifyAll(); // room again for the read-ahead
            return n;
        }
    }

    private void startReadAhead() {
        if (readAhead == null) {
            readAhead = new Thread(this::readAhead, "tarvolex-read-" + name);
            readAhead.setDaemon(true);
            readAheadRunning = true;
            readAhead.start();
        }
    }

    /** The read-ahead thread: the port's only reader of the native library. */
    private void readAhead() {
        try {
            readAheadLoop();
        } finally {
            synchronized (lock) {
                readAheadRunning = false;
                lock.notifyAll();
            }
        }
    }

    private void readAheadLoop() {
        while (true) {
            synchronized (lock) {
                while (count == received.length && !closed) {
                    try {
                        lock.wait();
                    } catch (InterruptedException e) {
                        return;
                    }
                }
                if (closed) {
                    return;
                }
            }
            int value;
            try {
                value = Tarvolex.doRead(handle);
            } catch (Exception e) {
                synchronized (lock) {
                    if (!closed) {
                        readFailure =
                                new IOException("Cannot read " + name + ": " + e.getMessage(), e);
                        lock.notifyAll();
                    }
                }
                return;
            }
            if (value < 0) {
                continue; // a second of silence; keep listening
            }
            synchronized (lock) {
                if (closed) {
                    return;
                }
                received[(head + count) % received.length] = (byte) value;
                count++;
                lock.notifyAll();
            }
        }
    }

    private void write(byte[] b, int off, int len) throws IOException {
        Objects.checkFromIndexSize(off, len, b.length);
        if (len == 0) {
            return;
        }
        synchronized (lock) {
            if (closed) {
                throw closedException();
            }
            writesRunning++;
        }
        try {
            Tarvolex.doWrite(handle, b, off, len);
        } catch (IOException e) {
            if (!isOpen()) {
                throw closedException();
            }
            throw new IOException("Cannot write to " + name + ": " + e.getMessage(), e);
        } finally {
            synchronized (lock) {
                writesRunning--;
                lock.notifyAll();
            }
        }
    }

    private final class PortInputStream extends InputStream {
        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return take(one, 0, 1, -1) < 0 ? -1 : one[0] & 0xff;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            Objects.checkFromIndexSize(off, len, b.length);
            if (len == 0) {
                synchronized (lock) {
                    if (closed) {
                        throw closedException();
                    }
                }
                return 0;
            }
            return take(b, off, len, -1);
        }

        @Override
        public int available() throws IOException {
            synchronized (lock) {
                if (closed) {
                    throw closedException();
                }
                startReadAhead();
                return count;
            }
        }

        @Override
        public void close() {
            SerialPort.this.close();
        }
    }

    private final class PortOutputStream extends OutputStream {
        @Override
        public void write(int b) throws IOException {
            SerialPort.this.write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            SerialPort.this.write(b, off, len);
        }

        @Override
        public void close() {
            SerialPort.this.close();
        }
    }
}
