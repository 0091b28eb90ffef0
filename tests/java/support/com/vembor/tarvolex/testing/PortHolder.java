package com.vembor.tarvolex.testing;

import com.vembor.tarvolex.Tarvolex;
import java.io.IOException;
import java.time.Duration;

/**
 * Holds a port open through the library, in this JVM or in another one, until closed.
 *
 * <pre>
 * try (AutoCloseable held = PortHolder.inChildJvm("COM3")) { ... }
 * </pre>
 */
public final class PortHolder {
    private static final String HELD = "held";

    private PortHolder() {}

    /** Where a port is held: a table column for tests that want both. */
    public enum Where {
        THIS_JVM,
        OTHER_JVM;

        public AutoCloseable hold(String port) throws IOException, InterruptedException {
            return this == THIS_JVM ? inThisJvm(port) : inChildJvm(port);
        }
    }

    /** Opens {@code port} with doOpen in this JVM; closing the result closes the port. */
    public static AutoCloseable inThisJvm(String port) throws IOException {
        int handle = Tarvolex.doOpen(port, 0);
        return () -> Tarvolex.doClose(handle);
    }

    /**
     * Opens {@code port} with doOpen in a child JVM and returns once it is open; closing the
     * result makes the child close the port and end.
     */
    public static AutoCloseable inChildJvm(String port) throws IOException, InterruptedException {
        ChildJvm child = ChildJvm.start(PortHolder.class, port);
        try {
            child.awaitOutput(HELD, Duration.ofSeconds(30));
        } catch (AssertionError | InterruptedException e) {
            child.close();
            throw e;
        }
        return () -> {
            try (child) {
                child.finish().assertSucceeded();
            }
        };
    }

    /** The child's side: opens args[0], tells so, and closes it when standard input ends. */
    public static void main(String[] args) throws IOException {
        int handle = Tarvolex.doOpen(args[0], 0);
        System.out.println(HELD);
        System.out.flush();
        while (System.in.read() >= 0) {
            // Waits for the parent to close our standard input.
        }
        Tarvolex.doClose(handle);
    }
}
