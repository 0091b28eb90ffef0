import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.Tarvolex;
import com.vembor.tarvolex.testing.NullModem;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/**
 * What happens to a transfer that is under way when the line fails: the other end hangs up, the
 * port is closed, the device node disappears. Every blocked call must end promptly, long before
 * its own time-out, and report the loss as its overload's exception, never as a silent success.
 */
class FaultsTest {
    /** How soon after the fault a blocked write must have returned; its time-out is 10 s. */
    private static final long PROMPT_MILLIS = 2000;

    /**
     * How soon after the fault a blocked read must have returned: it started 200 ms before the
     * fault, so its own time-out would end it 805 ms after.
     */
    private static final long PROMPT_READ_MILLIS = 700;

    /** What ends the transfer. */
    enum Fault {
        HANG_UP {
            @Override
            void strike(NullModem cable, int handle) {
                cable.unplug();
            }
        },
        CLOSE {
            @Override
            void strike(NullModem cable, int handle) {
                Tarvolex.doClose(handle);
            }
        };

        abstract void strike(NullModem cable, int handle);
    }

    @ParameterizedTest
    @EnumSource(Fault.class)
    void blockedReadEndsWithMinusOneAndTheNextRaises(Fault fault) throws Exception {
        try (NullModem cable = NullModem.link("COM1", "COM2")) {
            int handle = Tarvolex.doOpen("COM1", 0);
            CompletableFuture<Integer> read = startBlocked(() -> Tarvolex.doRead(handle));
            long struck = strike(fault, cable, handle);
            assertEquals(-1, read.get(PROMPT_MILLIS, TimeUnit.MILLISECONDS));
            assertPrompt(struck, PROMPT_READ_MILLIS);

            Exception next = assertThrows(Exception.class, () -> Tarvolex.doRead(handle));
            assertEquals("Can not read serial port.", next.getMessage());
            Tarvolex.doClose(handle);
        }
    }

    @Test
    void portClosedUnderABlockedReadOpensAgainAsSoonAsTheCloseReturns() throws Exception {
        try (NullModem cable = NullModem.link("COM1", "COM2")) {
            for (int round = 0; round < 3; ++round) {
                int handle = Tarvolex.doOpen("COM1", 0);
                CompletableFuture<Integer> read = startBlocked(() -> Tarvolex.doRead(handle));
                Tarvolex.doClose(handle);
                Tarvolex.doClose(Tarvolex.doOpen("COM1", 0));
                assertEquals(-1, read.get(PROMPT_MILLIS, TimeUnit.MILLISECONDS));
            }
        }
    }

    @ParameterizedTest
    @EnumSource(Fault.class)
    void blockedWriteEndsAndRaises(Fault fault) throws Exception {
        try (NullModem cable = NullModem.link("COM1", "COM2")) {
            int handle = Tarvolex.doOpen("COM1", 0);
            fill(handle);
            // 1000 bytes are given 10 s: only the fault can end this write within PROMPT_MILLIS.
            CompletableFuture<Integer> write = startBlocked(() -> {
                Tarvolex.doWrite(handle, new byte[1000], 0, 1000);
                return 0;
            });
            long struck = strike(fault, cable, handle);
            Exception e = unwrap(write);
            assertPrompt(struck, PROMPT_MILLIS);
            assertTrue(e instanceof IOException, e.toString());
            assertEquals("Cannot write to serial port.", e.getMessage());

            IOException next =
                    assertThrows(IOException.class, () -> Tarvolex.doWrite(handle, (byte) 1));
            assertEquals("Connection closed.", next.getMessage());
            Tarvolex.doClose(handle);
        }
    }

    @Test
    void portWhoseNameDisappearsKeepsWorkingUntilItsDeviceGoes() throws Exception {
        try (NullModem cable = NullModem.link("COM1", "COM2")) {
            int near = Tarvolex.doOpen("COM1", 0);
            int far = Tarvolex.doOpen("COM2", 0);
            Path device = cable.firstDevice();
            Files.delete(NullModem.portDir().resolve("COM1"));

            // The open port does not care about its name.
            Tarvolex.doWrite(near, new byte[] {1, 2, 3}, 0, 3);
            assertArrayEquals(new int[] {1, 2, 3},
                    new int[] {Tarvolex.doRead(far), Tarvolex.doRead(far), Tarvolex.doRead(far)});
            IOException reopen = assertThrows(IOException.class, () -> Tarvolex.doOpen("COM1", 0));
            assertEquals("Connection failed.", reopen.getMessage());
            assertEquals("", Tarvolex.listPorts()[0]);

            // The device goes (the pty's node with it): every transfer refuses.
            cable.unplug();
            assertTrue(Files.notExists(device), device + " is still there");
            for (int handle : new int[] {near, far}) {
                Exception read = assertThrows(Exception.class, () -> Tarvolex.doRead(handle));
                assertEquals("Can not read serial port.", read.getMessage());
                IOException write = assertThrows(IOException.class,
                        () -> Tarvolex.doWrite(handle, new byte[] {1}, 0, 1));
                assertEquals("Cannot write to serial port.", write.getMessage());
                Tarvolex.doClose(handle);
            }
        }
    }

    // ---- Helpers ----

    interface Call {
        int call() throws Exception;
    }

    /** Starts a call on a thread of its own and waits until it has had time to block. */
    private static CompletableFuture<Integer> startBlocked(Call call) throws InterruptedException {
        CompletableFuture<Integer> result = new CompletableFuture<>();
        Thread thread = new Thread(() -> {
            try {
                result.complete(call.call());
            } catch (Throwable t) {
                result.completeExceptionally(t);
            }
        });
        thread.start();
        Thread.sleep(200);
        assertTrue(thread.isAlive(), "the call did not block");
        return result;
    }

    private static long strike(Fault fault, NullModem cable, int handle) {
        long struck = System.nanoTime();
        fault.strike(cable, handle);
        return struck;
    }

    private static void assertPrompt(long struck, long withinMillis) {
        long millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - struck);
        assertTrue(millis < withinMillis, "ended " + millis + " ms after the fault");
    }

    /** The exception a call ended with, waiting at most PROMPT_MILLIS. */
    private static Exception unwrap(CompletableFuture<Integer> call) throws Exception {
        try {
            call.get(PROMPT_MILLIS, TimeUnit.MILLISECONDS);
        } catch (java.util.concurrent.ExecutionException e) {
            return (Exception) e.getCause();
        }
        throw new AssertionError("the call ended without an exception");
    }

    /**
     * Fills the line of an open port whose other end nobody reads, until a write cannot finish:
     * the next write has to wait for room that never comes. Small chunks keep the last, cut-short
     * write's time-out short (10 ms a byte plus 50 ms).
     */
    private static void fill(int handle) {
        byte[] chunk = new byte[64];
        for (int i = 0; i < 100_000; ++i) {
            try {
                Tarvolex.doWrite(handle, chunk, 0, chunk.length);
            } catch (IOException full) {
                return;
            }
        }
        throw new AssertionError("the line never filled");
    }
}
