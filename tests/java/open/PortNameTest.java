import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.Tarvolex;
import com.vembor.tarvolex.testing.ChildJvm;
import com.vembor.tarvolex.testing.NullModem;
import java.io.IOException;
import java.time.Duration;
import java.time.LocalTime;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * How doOpen turns port names into device paths, what it traces, and how it fails on names that
 * name no port. One child JVM opens every name of the table in turn, with COM3 linked, so that
 * the trace on its standard error can be read line by line.
 */
class PortNameTest {
    private static final String PREFIX = "\\\\.\\";
    private static final String FAILED = "java.io.IOException: Connection failed.";

    /** One port name, the device path that doOpen must trace for it, and whether it opens. */
    record Row(String label, String name, String devicePath, boolean opens) {
        @Override
        public String toString() {
            return label;
        }
    }

    static List<Row> rows() throws IOException {
        String linkedCom3 = NullModem.portDir().toAbsolutePath().resolve("COM3").toString();
        String longName = "A".repeat(100_000);
        String longNonAscii = "\u20ac".repeat(100_000);
        List<Row> rows = new ArrayList<>();
        rows.add(new Row("COM3 gets the prefix", "COM3", PREFIX + "COM3", true));
        rows.add(new Row("prefixed name unchanged", PREFIX + "COM3", PREFIX + "COM3", true));
        rows.add(new Row("prefix and absolute path", PREFIX + linkedCom3, PREFIX + linkedCom3, true));
        rows.add(new Row("missing port", "COM5", PREFIX + "COM5", false));
        rows.add(new Row("three-character prefix only", "\\\\.COM3", "\\\\.COM3", false));
        rows.add(new Row("question-mark prefix", "\\\\?\\COM3", PREFIX + "\\\\?\\COM3", false));
        rows.add(new Row("forward slashes", "//./COM3", PREFIX + "//./COM3", false));
        rows.add(new Row("empty", "", "", false));
        rows.add(new Row("null", null, "", false));
        rows.add(new Row("embedded NUL", "COM3\u0000", PREFIX + "COM3\u0000", false));
        rows.add(new Row("trailing blank", "COM3 ", PREFIX + "COM3 ", false));
        rows.add(new Row("non-ASCII", "\u041a\u041e\u041c3", PREFIX + "\u041a\u041e\u041c3", false));
        rows.add(new Row("outside the BMP", "COM\ud83d\udd0c", PREFIX + "COM\ud83d\udd0c", false));
        rows.add(new Row("100,000 characters", longName, PREFIX + longName, false));
        rows.add(new Row("100,000 non-ASCII characters", longNonAscii, PREFIX + longNonAscii,
                false));
        return rows;
    }

    private static NullModem cable;
    private static LocalTime started;
    private static LocalTime ended;
    private static ChildJvm.Result result;
    private static List<List<String>> tracePerRow;

    @BeforeAll
    static void openEveryNameInAChildJvm() throws Exception {
        cable = NullModem.link("COM3", "COM4");
        started = LocalTime.now();
        result = ChildJvm.run(OpenEveryName.class, "").assertSucceeded();
        ended = LocalTime.now();
        // The trace of each doOpen starts with its "doOpen port = " line.
        tracePerRow = new ArrayList<>();
        for (String message : result.traceMessages()) {
            if (message.startsWith("doOpen port = ")) {
                tracePerRow.add(new ArrayList<>());
            }
            tracePerRow.get(tracePerRow.size() - 1).add(message);
        }
    }

    @AfterAll
    static void unlink() throws IOException {
        cable.close();
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("rows")
    void opensOrFailsAndTracesTheDevicePath(Row row) throws IOException {
        int index = rows().indexOf(row);
        List<String> outcome = result.stdoutLines();
        assertEquals(rows().size(), outcome.size(), result.stdout());
        assertEquals(rows().size(), tracePerRow.size());

        List<String> trace = tracePerRow.get(index);
        // Names reach the device, and the trace, as the JVM's modified UTF-8 bytes, unchanged.
        String traced = "doOpen port = " + modifiedUtf8(row.devicePath());
        assertEquals(traced, trace.get(0), "traced device path");
        if (row.opens()) {
            String handle = outcome.get(index).replaceFirst("^OPENED ", "");
            assertEquals(List.of(traced, "OPENED " + handle, "close"), trace);
            assertTrue(handle.matches("-?\\d+"), outcome.get(index));
        } else {
            assertEquals(FAILED, outcome.get(index));
            assertEquals(List.of(traced), trace);
        }
    }

    /**
     * Every line on standard error is a trace line: stamp HH:MM:SS.000 of the local time, two
     * blanks, the library's name and a colon, one blank, the message.
     */
    @Test
    void everyTraceLineCarriesTheLocalTimeOfDay() {
        long window = secondsFrom(started, ended) + 2;
        for (String line : result.stderr().split("\n")) {
            Matcher trace = ChildJvm.TRACE_LINE.matcher(line);
            assertTrue(trace.matches(), () -> "not a trace line: " + line.substring(0, Math.min(80, line.length())));
            assertEquals("  Tarvolex: ", line.substring(12, 24));
            LocalTime stamp = LocalTime.of(Integer.parseInt(trace.group(1)),
                    Integer.parseInt(trace.group(2)), Integer.parseInt(trace.group(3)));
            assertTrue(secondsFrom(started.withNano(0), stamp) <= window,
                    () -> stamp + " is outside " + started + " to " + ended);
        }
    }

    /** Seconds from one time of day to a later one, across midnight if need be. */
    private static long secondsFrom(LocalTime from, LocalTime to) {
        return Math.floorMod(Duration.between(from, to).toSeconds(), 24 * 60 * 60);
    }

    /** The JVM's modified UTF-8 encoding, one char per byte. */
    private static String modifiedUtf8(String text) {
        StringBuilder bytes = new StringBuilder();
        for (char c : text.toCharArray()) {
            if (c != 0 && c < 0x80) {
                bytes.append(c);
            } else if (c < 0x800) {
                bytes.append((char) (0xc0 | c >> 6)).append((char) (0x80 | c & 0x3f));
            } else {
                bytes.append((char) (0xe0 | c >> 12))
                        .append((char) (0x80 | c >> 6 & 0x3f))
                        .append((char) (0x80 | c & 0x3f));
            }
        }
        return bytes.toString();
    }

    /** The child's side: opens each name of the table, tells the outcome, closes what opened. */
    static final class OpenEveryName {
        public static void main(String[] args) throws IOException {
            for (Row row : rows()) {
                try {
                    int handle = Tarvolex.doOpen(row.name(), 0);
                    System.out.println("OPENED " + handle);
                    Tarvolex.doClose(handle);
                } catch (IOException e) {
                    System.out.println(e.getClass().getName() + ": " + e.getMessage());
                }
            }
        }
    }
}
