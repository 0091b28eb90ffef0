import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;

import com.vembor.tarvolex.Tarvolex;
import com.vembor.tarvolex.testing.ChildJvm;
import com.vembor.tarvolex.testing.NullModem;
import com.vembor.tarvolex.testing.PortHolder;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.EnumSource;
import org.junit.jupiter.params.provider.MethodSource;

/** listPorts over ports linked in the port folder. */
class ListPortsTest {
    /** Links each name as one end of a cable of its own; the other ends are not COM ports. */
    private static final class Ports implements AutoCloseable {
        private final List<NullModem> cables = new ArrayList<>();

        Ports(String... names) throws IOException {
            try {
                for (String name : names) {
                    cables.add(NullModem.link(name, "peer-" + name));
                }
            } catch (IOException | RuntimeException e) {
                close();
                throw e;
            }
        }

        NullModem cable(int index) {
            return cables.get(index);
        }

        @Override
        public void close() throws IOException {
            for (NullModem cable : cables) {
                cable.close();
            }
        }
    }

    /**
     * Checks a listing: exactly 40 entries, the listed names where they belong, and one and the
     * same empty string object in every other entry.
     */
    private static void assertListing(String[] ports, String... listed) {
        assertEquals(40, ports.length);
        List<String> names = Arrays.asList(listed);
        String empty = null;
        for (int i = 0; i < ports.length; i++) {
            String name = "COM" + (i + 1);
            if (names.contains(name)) {
                assertEquals(name, ports[i], "entry " + i);
            } else {
                assertEquals("", ports[i], "entry " + i);
                if (empty == null) {
                    empty = ports[i];
                }
                assertSame(empty, ports[i], "entry " + i + " is another empty string");
            }
        }
    }

    static Stream<Arguments> linkedPorts() {
        return Stream.of(
                // linked names, names listed
                Arguments.of(List.of(), List.of()),
                Arguments.of(List.of("COM1", "COM3"), List.of("COM1", "COM3")),
                Arguments.of(List.of("COM10", "COM40"), List.of("COM10", "COM40")),
                Arguments.of(List.of("COM41", "COM100", "COM0"), List.of()),
                Arguments.of(List.of("COM01", "COM3x"), List.of()));
    }

    @ParameterizedTest(name = "{0} linked lists {1}")
    @MethodSource("linkedPorts")
    void listsTheLinkedPortsInTheirOwnEntries(List<String> linked, List<String> listed)
            throws Exception {
        try (Ports ports = new Ports(linked.toArray(String[]::new))) {
            assertListing(Tarvolex.listPorts(), listed.toArray(String[]::new));
        }
    }

    @ParameterizedTest
    @EnumSource(PortHolder.Where.class)
    void aPortInUseListsEmptyUntilClosed(PortHolder.Where holder) throws Exception {
        try (Ports ports = new Ports("COM1", "COM3")) {
            try (AutoCloseable held = holder.hold("COM3")) {
                assertListing(Tarvolex.listPorts(), "COM1");
            }
            assertListing(Tarvolex.listPorts(), "COM1", "COM3");
        }
    }

    /** A probe opens and closes the device and leaves it as it found it, free and unchanged. */
    @Test
    void probingLeavesThePortAsItWas() throws Exception {
        try (Ports ports = new Ports("COM2")) {
            NullModem cable = ports.cable(0);
            cable.sttyFirst("9600", "cstopb", "icanon", "echo");
            String before = cable.sttyFirst("-a");
            assertListing(Tarvolex.listPorts(), "COM2");
            assertEquals(before, cable.sttyFirst("-a"));
            Tarvolex.doClose(Tarvolex.doOpen("COM2", 0));
        }
    }

    /** listPorts as the first call of a fresh JVM, and its trace line. */
    @Test
    void worksAsTheFirstCallOfAJvmAndTracesListPorts() throws Exception {
        try (Ports ports = new Ports("COM3")) {
            ChildJvm.Result result = ChildJvm.run(ListFirst.class, "").assertSucceeded();
            assertEquals(List.of("{3=COM3}"), result.stdoutLines());
            assertEquals(List.of("List ports"), result.traceMessages());
        }
    }

    /** The child's side: lists the ports before anything else and prints the named entries. */
    static final class ListFirst {
        public static void main(String[] args) {
            String[] ports = Tarvolex.listPorts();
            Map<Integer, String> named = new TreeMap<>();
            for (int i = 0; i < ports.length; i++) {
                if (!ports[i].isEmpty()) {
                    named.put(i + 1, ports[i]);
                }
            }
            System.out.println(named);
        }
    }
}
