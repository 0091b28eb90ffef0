import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.Tarvolex;
import com.vembor.tarvolex.testing.ChildJvm;
import com.vembor.tarvolex.testing.NullModem;
import com.vembor.tarvolex.testing.PortHolder;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.stream.IntStream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/** Opening and closing ports in this JVM, and what a port handle is (and is not). */
class OpenCloseTest {
    @ParameterizedTest
    @EnumSource(PortHolder.Where.class)
    void secondOpenFailsUntilTheFirstIsClosed(PortHolder.Where holder) throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            try (AutoCloseable held = holder.hold("COM3")) {
                IOException refused =
                        assertThrows(IOException.class, () -> Tarvolex.doOpen("COM3", 0));
                assertEquals("Connection failed.", refused.getMessage());
            }
            Tarvolex.doClose(Tarvolex.doOpen("COM3", 0));
        }
    }

    /** What stands in the port folder under the name COM7 instead of a terminal. */
    enum NotATerminal {
        NOTHING,
        REGULAR_FILE,
        FIFO,
        DIRECTORY,
        LINK_TO_A_MISSING_PATH,
        LINK_TO_DEV_NULL;

        void create(Path path) throws Exception {
            switch (this) {
                case NOTHING -> {}
                case REGULAR_FILE -> Files.writeString(path, "not a port");
                case FIFO -> assertEquals(0, new ProcessBuilder("mkfifo", path.toString())
                                                     .inheritIO()
                                                     .start()
                                                     .waitFor());
                case DIRECTORY -> Files.createDirectory(path);
                case LINK_TO_A_MISSING_PATH ->
                        Files.createSymbolicLink(path, path.resolveSibling("nowhere"));
                case LINK_TO_DEV_NULL -> Files.createSymbolicLink(path, Path.of("/dev/null"));
            }
        }
    }

    @ParameterizedTest
    @EnumSource(NotATerminal.class)
    void onlyTerminalsOpen(NotATerminal kind) throws Exception {
        Path path = NullModem.portDir().resolve("COM7");
        kind.create(path);
        try {
            IOException refused = assertThrows(IOException.class, () -> Tarvolex.doOpen("COM7", 0));
            assertEquals("Connection failed.", refused.getMessage());
        } finally {
            Files.deleteIfExists(path);
        }
    }

    @Test
    void lineSettingsAreAppliedToTheDevice() throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            // Start from settings that differ from ours wherever a pty keeps what it is given.
            cable.sttyFirst("9600", "cstopb", "-clocal", "icanon", "echo", "isig", "opost",
                    "icrnl", "ixon");
            int handle = Tarvolex.doOpen("COM3", 0);
            try {
                String settings = cable.sttyFirst("-a");
                assertTrue(settings.startsWith("speed 57600 baud;"), settings);
                Set<String> flags = new HashSet<>(Arrays.asList(settings.split("[\\s;]+")));
                for (String flag : List.of("cs8", "-parenb", "-cstopb", "cread", "clocal",
                             "-icanon", "-echo", "-isig", "-iexten", "-opost", "-icrnl", "-ixon",
                             "-istrip", "-inlcr", "-igncr")) {
                    assertTrue(flags.contains(flag), flag + " missing in:\n" + settings);
                }
            } finally {
                Tarvolex.doClose(handle);
            }
        }
    }

    @Test
    void handleValuesAreNeverReused() throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            List<Integer> handles = new ArrayList<>();
            for (int i = 0; i < 5; i++) {
                int handle = Tarvolex.doOpen("COM3", 0);
                handles.add(handle);
                Tarvolex.doClose(handle);
            }
            assertEquals(handles.size(), new HashSet<>(handles).size(), handles.toString());

            // A closed handle stays dead while a new one is open on the same device.
            int stale = handles.get(0);
            int current = Tarvolex.doOpen("COM3", 0);
            int peer = Tarvolex.doOpen("COM4", 0);
            try {
                assertNotEquals(stale, current);
                assertThrows(Exception.class, () -> Tarvolex.doRead(stale));
                assertThrows(IOException.class, () -> Tarvolex.doWrite(stale, (byte) 'x'));
                assertThrows(IOException.class,
                        () -> Tarvolex.doWrite(stale, new byte[] {'x'}, 0, 1));
                Tarvolex.doWrite(current, (byte) 'S');
                assertEquals('S', Tarvolex.doRead(peer));
            } finally {
                Tarvolex.doClose(current);
                Tarvolex.doClose(peer);
            }
        }
    }

    /**
     * Handle values that the library never gave out, among them the process's own descriptors
     * 0 to 31 (standard streams and the JVM's files), name no port: every transfer raises, and
     * no byte reaches or leaves a standard stream. Run in a JVM of its own, since a fault here
     * would close or scribble on the test runner's streams.
     */
    @Test
    void handlesAreNotFileDescriptors() throws Exception {
        ChildJvm.Result result =
                ChildJvm.run(ForeignHandles.class, "input kept\n").assertSucceeded();
        List<String> expected = new ArrayList<>();
        for (int handle : ForeignHandles.HANDLES) {
            expected.add(handle + " read: java.lang.Exception: Can not read serial port.");
            expected.add(handle + " write: java.io.IOException: Cannot write to serial port.");
            expected.add(handle + " write one: java.io.IOException: Connection closed.");
        }
        expected.add("standard input: input kept");
        assertEquals(expected, result.stdoutLines());
        assertEquals(Collections.nCopies(ForeignHandles.HANDLES.length, "close"),
                result.traceMessages());
    }

    /** The child's side of {@link #handlesAreNotFileDescriptors}. */
    static final class ForeignHandles {
        static final int[] HANDLES =
                IntStream.concat(IntStream.rangeClosed(0, 31),
                                 IntStream.of(-1, 4096, Integer.MAX_VALUE, Integer.MIN_VALUE))
                        .toArray();

        public static void main(String[] args) throws IOException {
            byte[] leak = "LEAK\n".getBytes(StandardCharsets.US_ASCII);
            List<String> report = new ArrayList<>();
            for (int handle : HANDLES) {
                report.add(handle + " read: " + outcome(() -> Tarvolex.doRead(handle)));
                report.add(handle + " write: "
                        + outcome(() -> Tarvolex.doWrite(handle, leak, 0, leak.length)));
                report.add(handle + " write one: "
                        + outcome(() -> Tarvolex.doWrite(handle, (byte) '!')));
            }
            for (int handle : HANDLES) {
                Tarvolex.doClose(handle);
            }
            report.add("standard input: "
                    + new String(System.in.readAllBytes(), StandardCharsets.US_ASCII).strip());
            report.forEach(System.out::println);
        }

        interface Call {
            void run() throws Exception;
        }

        private static String outcome(Call call) {
            try {
                call.run();
                return "returned";
            } catch (Exception e) {
                return e.getClass().getName() + ": " + e.getMessage();
            }
        }
    }
}
