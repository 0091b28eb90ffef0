package com.vembor.tarvolex.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.SerialPort;
import com.vembor.tarvolex.testing.NullModem;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The command-line tool, run in this JVM: its output and exit status. */
class CommandLineTest {
    @TempDir Path work;

    /** What a run left: exit status, standard output (ISO-8859-1, byte for byte), errors. */
    record Run(int status, String out, String err) {}

    static Run run(byte[] input, String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int status =
                Main.run(
                        args,
                        new ByteArrayInputStream(input),
                        new PrintStream(out, true, StandardCharsets.ISO_8859_1),
                        new PrintStream(err, true, StandardCharsets.UTF_8));
        return new Run(
                status,
                out.toString(StandardCharsets.ISO_8859_1),
                err.toString(StandardCharsets.UTF_8));
    }

    static Run run(String... args) {
        return run(new byte[0], args);
    }

    @ParameterizedTest(name = "[{index}] {1}")
    @CsvSource(
            delimiter = '|',
            value = {
                "''                          | no command given",
                "bogus                       | unknown command \"bogus\"",
                "list extra                  | unexpected argument \"extra\"",
                "send                        | missing PORT",
                "send COM3                   | missing TEXT, -x HEX or -f FILE",
                "send COM3 -x 4g             | not a sequence of hex bytes: \"4g\"",
                "send COM3 -x 123            | not a sequence of hex bytes: \"123\"",
                "receive COM3 -n -1          | not a count: \"-1\"",
                "receive COM3 -s soon        | not a number of seconds: \"soon\"",
                "receive COM3 -q             | unknown option \"-q\" for receive",
                "term                        | missing PORT",
                "selftest COM3               | missing port B",
                "selftest COM3 COM3          | selftest needs two different ports",
            })
    void usageErrorsExitWithTwoAndTheUsage(String command, String message) {
        Run run = run(command.isEmpty() ? new String[0] : command.split(" "));
        assertEquals(Main.USAGE, run.status());
        assertTrue(run.err().startsWith("tarvolex: " + message + "\n"), run.err());
        assertTrue(run.err().contains("Usage: java -jar tarvolex.jar COMMAND"), run.err());
    }

    @Test
    void listPrintsTheAvailablePortsOnePerLine() throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            assertEquals(new Run(0, "COM3\nCOM4\n", ""), run("list"));
        }
    }

    @ParameterizedTest(name = "send {0} {1}, receive {2}")
    @CsvSource(
            delimiter = '|',
            value = {
                "''  | Hi there     | -n 8       | Hi there",
                "-x  | 48 69 00 ff  | -n 4       | Hi\u0000\u00ff",
                "-x  | 0x4869       | -n 2 -x    | '48 69\n'",
                "''  | abc          | -s 2       | abc",
            })
    void bytesSentOnOnePortArriveOnTheOther(
            String option, String data, String receive, String expected) throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            FutureTask<Run> receiving = receiveInBackground(receive.split(" "));
            List<String> send = new ArrayList<>(List.of("send", "COM3"));
            if (!option.isEmpty()) {
                send.add(option);
            }
            send.add(data);
            Run sent = run(send.toArray(String[]::new));
            assertEquals(0, sent.status(), sent.err());
            assertEquals("", sent.out());

            Run received = receiving.get(30, TimeUnit.SECONDS);
            assertEquals(0, received.status(), received.err());
            assertEquals(expected, received.out());
        }
    }

    @Test
    void aFileGoesAcrossIntactAndACountNotReachedFails() throws Exception {
        byte[] content = new byte[5000];
        new Random(3).nextBytes(content);
        Path source = Files.write(work.resolve("source.bin"), content);
        Path target = work.resolve("target.bin");
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            FutureTask<Run> receiving = receiveInBackground("-n", "5000", "-o", target.toString());
            assertEquals(0, run("send", "COM3", "-f", source.toString()).status());
            assertEquals(0, receiving.get(30, TimeUnit.SECONDS).status());
            assertArrayEquals(content, Files.readAllBytes(target));

            // Standard input as the file, and fewer bytes than the receiver waits for.
            receiving = receiveInBackground("-n", "10", "-s", "2");
            byte[] abc = "abc".getBytes(StandardCharsets.US_ASCII);
            assertEquals(0, run(abc, "send", "COM3", "-f", "-").status());
            Run shortOfCount = receiving.get(30, TimeUnit.SECONDS);
            assertEquals(1, shortOfCount.status());
            assertEquals("abc", shortOfCount.out());
            assertTrue(
                    shortOfCount.err().contains("received 3 of 10 bytes from COM4"),
                    shortOfCount.err());
        }
    }

    @ParameterizedTest(name = "selftest {0} {1}")
    @CsvSource(
            delimiter = '|',
            value = {
                "COM3 | COM4 | 0 | selftest passed: 8000 bytes verified, 0 errors",
                "COM4 | COM3 | 0 | COM4 -> COM3: 4000 bytes sent, 4000 received, 0 errors",
                // Ends of two different cables: nothing arrives, every byte is missing.
                "COM3 | COM5 | 1 | selftest FAILED: 8000 errors",
                "COM3 | COM9 | 1 | tarvolex: Cannot open COM9: Connection failed.",
            })
    void selftestVerifiesEveryByteBothWays(String a, String b, int status, String expected)
            throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4");
                NullModem other = NullModem.link("COM5", "COM6")) {
            Run run = run("selftest", a, b, "-n", "4000");
            assertEquals(status, run.status(), run.err());
            assertTrue(run.err().contains(expected), run.err());
        }
    }

    @Test
    void aPortThatCannotBeOpenedFailsWithOne() throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4");
                SerialPort held = SerialPort.open("COM3")) {
            for (String[] args :
                    List.of(
                            new String[] {"send", "COM3", "x"},
                            new String[] {"receive", "COM3", "-s", "0.1"},
                            new String[] {"term", "COM3"})) {
                Run run = run(args);
                assertEquals(
                        new Run(1, "", "tarvolex: Cannot open COM3: Connection failed.\n"), run);
            }
        }
    }

    /**
     * receive on COM4 with the given options. Whether it opens the port before or after the
     * sender writes does not matter: the pty keeps what arrives until it is read.
     */
    private static FutureTask<Run> receiveInBackground(String... options) {
        List<String> args = new ArrayList<>(List.of("receive", "COM4"));
        args.addAll(List.of(options));
        FutureTask<Run> task = new FutureTask<>(() -> run(args.toArray(String[]::new)));
        Thread thread = new Thread(task, "receive");
        thread.setDaemon(true);
        thread.start();
        return task;
    }
}
