import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.Tarvolex;
import com.vembor.tarvolex.testing.NullModem;
import java.io.IOException;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.EnumSource;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * doRead and both doWrite overloads, between the two ends of a null-modem cable. What a close or
 * hang-up does to a transfer already waiting on another thread is the faults suite's.
 */
class TransferTest {
    private static final byte[] FIVE = {10, 11, 12, 13, 14};
    private static final byte SENTINEL = 0x5a;

    private NullModem cable;
    private int port;
    private int peer;

    @BeforeEach
    void openBothEnds() throws Exception {
        cable = NullModem.link("COM3", "COM4");
        port = Tarvolex.doOpen("COM3", 0);
        peer = Tarvolex.doOpen("COM4", 0);
    }

    @AfterEach
    void closeBothEnds() throws Exception {
        Tarvolex.doClose(port);
        Tarvolex.doClose(peer);
        cable.close();
    }

    enum Writer {
        RANGE {
            @Override
            void write(int handle, byte[] bytes) throws Exception {
                Tarvolex.doWrite(handle, bytes, 0, bytes.length);
            }
        },
        ONE_BYTE_AT_A_TIME {
            @Override
            void write(int handle, byte[] bytes) throws Exception {
                for (byte b : bytes) {
                    Tarvolex.doWrite(handle, b);
                }
            }
        };

        abstract void write(int handle, byte[] bytes) throws Exception;
    }

    /** Every byte value arrives as itself, 0 to 255, also those a cooked line would eat. */
    @ParameterizedTest
    @EnumSource(Writer.class)
    void everyByteValueRoundTrips(Writer writer) throws Exception {
        byte[] all = new byte[256];
        for (int i = 0; i < all.length; i++) {
            all[i] = (byte) i;
        }
        writer.write(port, all);
        for (int expected = 0; expected < 256; expected++) {
            assertEquals(expected, Tarvolex.doRead(peer));
        }
    }

    @Test
    void silentLineReadsMinusOneAfterAboutASecond() throws Exception {
        long start = System.nanoTime();
        assertEquals(-1, Tarvolex.doRead(peer));
        long millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(millis >= 900 && millis <= 3000, millis + " ms");
    }

    static Stream<Arguments> regions() {
        return Stream.of(
                // data, offset, length, what arrives (null: ArrayIndexOutOfBoundsException)
                Arguments.of(null, 0, 5, new byte[0]),
                Arguments.of(null, -1, -1, new byte[0]),
                Arguments.of(FIVE, 99, 0, new byte[0]),
                Arguments.of(FIVE, -3, 0, new byte[0]),
                Arguments.of(FIVE, 2, 3, new byte[] {12, 13, 14}),
                Arguments.of(FIVE, 0, 5, FIVE),
                Arguments.of(FIVE, 5, 0, new byte[0]),
                Arguments.of(FIVE, 4, 3, null),
                Arguments.of(FIVE, 5, 1, null),
                Arguments.of(FIVE, -1, 2, null),
                Arguments.of(FIVE, 1, -1, null),
                Arguments.of(FIVE, 1, Integer.MAX_VALUE, null),
                Arguments.of(FIVE, Integer.MAX_VALUE, 1, null),
                Arguments.of(FIVE, Integer.MIN_VALUE, Integer.MIN_VALUE, null));
    }

    @ParameterizedTest(name = "data {0} offset {1} length {2}")
    @MethodSource("regions")
    void rangeWriteSendsExactlyItsRegion(byte[] data, int offset, int length, byte[] arrives)
            throws Exception {
        if (arrives == null) {
            assertThrows(ArrayIndexOutOfBoundsException.class,
                    () -> Tarvolex.doWrite(port, data, offset, length));
            arrives = new byte[0];
        } else {
            Tarvolex.doWrite(port, data, offset, length);
        }
        // The sentinel comes right after the region's bytes: nothing else was written.
        Tarvolex.doWrite(port, SENTINEL);
        byte[] received = new byte[arrives.length];
        for (int i = 0; i < received.length; i++) {
            received[i] = (byte) Tarvolex.doRead(peer);
        }
        assertArrayEquals(arrives, received);
        assertEquals(SENTINEL, Tarvolex.doRead(peer));
    }

    /** The three transfers, each with the exception it raises when it cannot start. */
    enum Transfer {
        READ(Exception.class, "Can not read serial port."),
        WRITE_RANGE(IOException.class, "Cannot write to serial port."),
        WRITE_ONE_BYTE(IOException.class, "Connection closed.");

        final Class<? extends Exception> raises;
        final String message;

        Transfer(Class<? extends Exception> raises, String message) {
            this.raises = raises;
            this.message = message;
        }

        void run(int handle) throws Exception {
            switch (this) {
                case READ -> Tarvolex.doRead(handle);
                case WRITE_RANGE -> Tarvolex.doWrite(handle, FIVE, 0, FIVE.length);
                case WRITE_ONE_BYTE -> Tarvolex.doWrite(handle, (byte) 1);
            }
        }

        void assertRefused(int handle) {
            Exception refused = assertThrows(raises, () -> run(handle));
            assertEquals(raises, refused.getClass());
            assertEquals(message, refused.getMessage());
        }
    }

    @ParameterizedTest
    @EnumSource(Transfer.class)
    void transferOnAClosedHandleRaises(Transfer transfer) {
        Tarvolex.doClose(port);
        transfer.assertRefused(port);
    }

    /** An unplugged cable: transfers raise at once instead of a stream of instant -1s. */
    @ParameterizedTest
    @EnumSource(Transfer.class)
    void transferAfterHangUpRaises(Transfer transfer) throws Exception {
        cable.unplug();
        for (int i = 0; i < 3; i++) {
            transfer.assertRefused(port);
        }
    }

    @Test
    void readAndWriteProceedAtOnceOnOnePort() throws Exception {
        // A read waits on COM3 while COM3 writes; the peer answers only what the write sent.
        CompletableFuture<Integer> read = CompletableFuture.supplyAsync(() -> {
            try {
                return Tarvolex.doRead(port);
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        Thread.sleep(100);
        Tarvolex.doWrite(port, (byte) 'q');
        assertEquals('q', Tarvolex.doRead(peer));
        Tarvolex.doWrite(peer, (byte) 'a');
        assertEquals('a', read.get(5, TimeUnit.SECONDS));
    }

    /**
     * The peer never reads, so the cable fills up; the write that no longer fits ends by its
     * time-out and raises, and every byte of every write that returned normally arrives.
     */
    @Test
    void writeIntoAFullLineRaisesAndLosesNothingSilently() throws Exception {
        byte[] chunk = new byte[64];
        for (int i = 0; i < chunk.length; i++) {
            chunk[i] = (byte) i;
        }
        // The cable holds some tens of kilobytes; a write that lost bytes without raising would
        // keep the loop going until the deadline.
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(15);
        long accepted = 0;
        IOException refused = null;
        while (refused == null && System.nanoTime() < deadline) {
            try {
                Tarvolex.doWrite(port, chunk, 0, chunk.length);
                accepted += chunk.length;
            } catch (IOException e) {
                refused = e;
            }
        }
        assertTrue(refused != null, "no write raised after " + accepted + " bytes");
        assertEquals("Cannot write to serial port.", refused.getMessage());

        long received = 0;
        for (int b; (b = Tarvolex.doRead(peer)) >= 0; received++) {
            assertEquals(chunk[(int) (received % chunk.length)], (byte) b, "byte " + received);
        }
        assertTrue(received >= accepted && received < accepted + chunk.length,
                "accepted " + accepted + ", received " + received);
    }
}
