package com.vembor.tarvolex;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.testing.NullModem;
import java.io.IOException;
import java.io.InputStream;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** SerialPort and its streams over a socat cable, COM3 to COM4. */
class SerialPortTest {
    private NullModem cable;
    private SerialPort com3;
    private SerialPort com4;

    @BeforeEach
    void plugIn() throws IOException {
        cable = NullModem.link("COM3", "COM4");
        com3 = SerialPort.open("COM3");
        com4 = SerialPort.open("COM4");
    }

    @AfterEach
    void unplug() throws IOException {
        com3.close();
        com4.close();
        cable.close();
    }

    @Test
    void bulkReadsReturnWhatHasArrivedWithoutWaitingForTheRest() throws Exception {
        byte[] sent = new byte[20_000];
        new Random(7).nextBytes(sent);
        FutureTask<Integer> writing =
                onAnotherThread(
                        () -> {
                            com3.getOutputStream().write(sent);
                            return sent.length;
                        });
        // Each read asks for 100 bytes more than are still to come: one that waited for all it
        // asked for would sit out a time-out per missing byte.
        FutureTask<byte[]> reading =
                onAnotherThread(
                        () -> {
                            byte[] got = new byte[sent.length + 100];
                            InputStream in = com4.getInputStream();
                            for (int n = 0; n < sent.length; ) {
                                n += in.read(got, n, got.length - n);
                            }
                            return Arrays.copyOf(got, sent.length);
                        });
        assertEquals(sent.length, writing.get(30, TimeUnit.SECONDS));
        assertArrayEquals(sent, reading.get(30, TimeUnit.SECONDS));
        assertEquals(0, com4.getInputStream().available());
    }

    @Test
    void readWaitsThroughSilenceAndEndsWhenAnotherThreadCloses() throws Exception {
        FutureTask<Integer> read = readOnAnotherThread(com4.getInputStream());
        // Well past the library's one-second read time-out: silence is not the end of the stream.
        Thread.sleep(1500);
        assertFalse(read.isDone(), "read() returned " + (read.isDone() ? read.get() : ""));

        long closedAt = System.nanoTime();
        com4.close();
        assertEquals(-1, read.get(10, TimeUnit.SECONDS));
        long took = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - closedAt);
        assertTrue(took < 3000, "read() took " + took + " ms to see the close");
    }

    @Test
    void readWaitsForTheFirstByte() throws Exception {
        FutureTask<Integer> read = readOnAnotherThread(com4.getInputStream());
        Thread.sleep(1200);
        com3.getOutputStream().write(0xa5);
        assertEquals(0xa5, read.get(10, TimeUnit.SECONDS));
    }

    @Test
    void timedReadReturnsMinusOneOnSilenceAndTheByteOtherwise() throws IOException {
        long start = System.nanoTime();
        assertEquals(-1, com4.readByte(Duration.ofMillis(300)));
        assertTrue(System.nanoTime() - start >= TimeUnit.MILLISECONDS.toNanos(300));

        com3.getOutputStream().write(new byte[] {0, (byte) 0xff});
        assertEquals(0, com4.readByte(Duration.ofSeconds(5)));
        assertEquals(0xff, com4.readByte(Duration.ofSeconds(5)));
        assertEquals(-1, com4.readByte(Duration.ZERO));
    }

    @Test
    void aHungUpLineEndsAWaitingReadWithAnException() throws Exception {
        FutureTask<Integer> read = readOnAnotherThread(com4.getInputStream());
        cable.unplug();
        ExecutionException failed =
                assertThrows(ExecutionException.class, () -> read.get(10, TimeUnit.SECONDS));
        assertTrue(failed.getCause() instanceof IOException, failed.getCause().toString());
    }

    interface PortCall {
        void call(SerialPort port) throws IOException;
    }

    static Stream<Arguments> callsAfterClose() {
        return Stream.of(
                Arguments.of("read()", (PortCall) p -> p.getInputStream().read()),
                Arguments.of("read(byte[])", (PortCall) p -> p.getInputStream().read(new byte[4])),
                Arguments.of(
                        "read(byte[], 0, 0)",
                        (PortCall) p -> p.getInputStream().read(new byte[4], 0, 0)),
                Arguments.of("available()", (PortCall) p -> p.getInputStream().available()),
                Arguments.of(
                        "readByte(timeout)", (PortCall) p -> p.readByte(Duration.ofSeconds(1))),
                Arguments.of("write(int)", (PortCall) p -> p.getOutputStream().write(1)),
                Arguments.of(
                        "write(byte[])", (PortCall) p -> p.getOutputStream().write(new byte[3])));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource
    void callsAfterClose(String name, PortCall call) throws IOException {
        // Once through the read-ahead, so that it too has to stop.
        com3.getOutputStream().write(42);
        assertEquals(42, com4.getInputStream().read());
        com4.getInputStream().close(); // closing a stream closes the port
        assertFalse(com4.isOpen());

        IOException failed = assertThrows(IOException.class, () -> call.call(com4));
        assertEquals("COM4 is closed", failed.getMessage());
        com4.close(); // again: nothing happens
        // The handle went back to the library: the port can be opened anew.
        SerialPort.open("COM4").close();
    }

    @Test
    void availablePortsListsThePortsThatCanBeOpened() throws IOException {
        com3.close();
        com4.close();
        try (NullModem other = NullModem.link("COM12", "COM2")) {
            assertEquals(List.of("COM2", "COM3", "COM4", "COM12"), SerialPort.availablePorts());
            try (SerialPort held = SerialPort.open("COM3")) {
                assertEquals(List.of("COM2", "COM4", "COM12"), SerialPort.availablePorts());
            }
        }
        assertEquals(List.of("COM3", "COM4"), SerialPort.availablePorts());
    }

    private static FutureTask<Integer> readOnAnotherThread(InputStream in) {
        return onAnotherThread(in::read);
    }

    private static <T> FutureTask<T> onAnotherThread(Callable<T> work) {
        FutureTask<T> task = new FutureTask<>(work);
        Thread thread = new Thread(task, "test-worker");
        thread.setDaemon(true);
        thread.start();
        return task;
    }
}
