import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.testing.NullModem;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * Long runs in a real JVM: open/close cycles and several threads transferring, opening, closing
 * and listing on four cables at once. The workload runs in a child JVM (SoakRunner) with its
 * trace discarded; afterwards the child must hold as many descriptors as before, and its
 * resident memory must not have grown by more than the JVM's own noise.
 *
 * <p>TARVOLEX_SOAK_CYCLES and TARVOLEX_SOAK_SECONDS lengthen the runs (make soak).
 */
class SoakTest {
    /** Growth of resident anonymous memory that is still the JVM's own noise. */
    private static final long RSS_NOISE_KB = 8 * 1024;

    @Test
    void openCloseCyclesLeaveNoDescriptorOrMemoryBehind() throws Exception {
        int cycles = setting("TARVOLEX_SOAK_CYCLES", 100_000);
        try (NullModem cable = NullModem.link("COM1", "COM2")) {
            Map<String, String> figures = runChild(600, "cycles", "COM1", String.valueOf(cycles));
            assertClean(figures);
        }
    }

    @Test
    void threadedRunKeepsEveryTimeOutAndLeavesNoDescriptorOrMemoryBehind() throws Exception {
        int seconds = setting("TARVOLEX_SOAK_SECONDS", 20);
        List<NullModem> cables = new ArrayList<>();
        List<String> args = new ArrayList<>(List.of("threads", String.valueOf(seconds)));
        try {
            for (int i = 1; i <= 7; i += 2) {
                cables.add(NullModem.link("COM" + i, "COM" + (i + 1)));
                args.add("COM" + i);
                args.add("COM" + (i + 1));
            }
            Map<String, String> figures = runChild(seconds + 120, args.toArray(String[]::new));
            assertClean(figures);
            assertTrue(number(figures, "pumpedBytes") > 0, "no bytes were pumped");
            assertTrue(number(figures, "races") > 0, "no close raced a transfer");
        } finally {
            for (NullModem cable : cables) {
                cable.close();
            }
        }
    }

    private static void assertClean(Map<String, String> figures) {
        figures.forEach((key, value) -> System.out.println("  " + key + " = " + value));
        assertEquals("0", figures.get("errors"), "broken expectations, see error= lines");
        assertEquals(figures.get("descriptors.before"), figures.get("descriptors.after"),
                "descriptors before and after");
        long grown = number(figures, "rssAnonKb.after") - number(figures, "rssAnonKb.before");
        assertTrue(grown < RSS_NOISE_KB, "resident memory grew by " + grown + " KiB");
        figures.forEach((key, value) -> {
            if (key.startsWith("overrunMillis.")) {
                assertTrue(Long.parseLong(value) <= SoakRunner.MARGIN_MILLIS,
                        key + " = " + value + " ms beyond the time-out");
            }
        });
    }

    /** Runs SoakRunner in a child JVM and returns its key=value figures. */
    private static Map<String, String> runChild(long timeoutSeconds, String... args)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>(List.of(
                Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("java.class.path"),
                // A fixed, pre-touched heap: the resident memory then moves with native memory.
                "-Xms64m", "-Xmx64m", "-XX:+AlwaysPreTouch",
                "SoakRunner"));
        command.addAll(List.of(args));
        Process child = new ProcessBuilder(command)
                .redirectError(ProcessBuilder.Redirect.DISCARD)
                .start();
        Map<String, String> figures = new TreeMap<>();
        try (BufferedReader out = new BufferedReader(
                new InputStreamReader(child.getInputStream(), StandardCharsets.UTF_8))) {
            String line;
            while ((line = out.readLine()) != null) {
                int equals = line.indexOf('=');
                if (line.startsWith("error=")) {
                    System.out.println("  " + line);
                } else if (equals > 0) {
                    figures.put(line.substring(0, equals), line.substring(equals + 1));
                }
            }
        }
        if (!child.waitFor(timeoutSeconds, TimeUnit.SECONDS)) {
            child.destroyForcibly();
            throw new AssertionError("the soak run hung");
        }
        assertEquals(0, child.exitValue(), "the soak run's exit status");
        return figures;
    }

    private static long number(Map<String, String> figures, String key) {
        String value = figures.get(key);
        return value == null ? 0 : Long.parseLong(value);
    }

    private static int setting(String name, int fallback) {
        String value = System.getenv(name);
        return value == null || value.isEmpty() ? fallback : Integer.parseInt(value);
    }
}
