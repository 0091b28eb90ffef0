package com.vembor.tarvolex;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vembor.tarvolex.testing.NullModem;
import java.io.IOException;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystem;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.function.Consumer;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/**
 * java -jar tarvolex.jar in child JVMs: which native library gets loaded, from where, and which
 * ones are refused.
 */
class JarLoadingTest {
    private static final String LINUX_NATIVE = "natives/linux-x86_64/libTarvolex.so";

    @TempDir Path work;

    /** What the child JVM is given, and what it must answer to `version`. */
    enum Case {
        EXTRACTED_FROM_THE_JAR(0, "native library from %TMP%/tarvolex-"),
        INSTALLED_LIBRARY_FIRST(0, "native library from java.library.path"),
        TAMPERED_NATIVE_REFUSED(1, "Refusing to load the native library libTarvolex.so"),
        NATIVE_LEFT_OUT_OF_THE_JAR(
                1, "built without the native library for linux-x86_64 (" + LINUX_NATIVE + ")"),
        UNSUPPORTED_PLATFORM(
                1,
                "no native library for this platform, linux-sparcv9 (os.name \"Linux\", os.arch"
                        + " \"sparcv9\"); supported platforms: linux-x86_64, windows-x86,"
                        + " windows-x86_64");

        final int exitCode;
        final String expected;

        Case(int exitCode, String expected) {
            this.exitCode = exitCode;
            this.expected = expected;
        }
    }

    @ParameterizedTest
    @EnumSource(Case.class)
    void loadsOnlyTheVerifiedNativeOfThisPlatform(Case c) throws Exception {
        Path tmp = Files.createDirectory(work.resolve("tmp"));
        Path jar = tarvolexJar();
        List<String> options = new ArrayList<>(List.of("-Djava.io.tmpdir=" + tmp));
        switch (c) {
        case INSTALLED_LIBRARY_FIRST:
            options.add("-Djava.library.path=" + System.getProperty("java.library.path"));
            break;
        case TAMPERED_NATIVE_REFUSED:
            jar = copyWith(jar, LINUX_NATIVE, bytes -> bytes[bytes.length / 2] ^= 0x01);
            break;
        case NATIVE_LEFT_OUT_OF_THE_JAR:
            jar = copyWith(jar, LINUX_NATIVE, null);
            break;
        case UNSUPPORTED_PLATFORM:
            options.add("-Dos.arch=sparcv9");
            break;
        default:
            break;
        }
        Run run = Run.start(jar, options, "version").finish();

        String output = c.exitCode == 0 ? run.stdout : run.stderr;
        assertEquals(c.exitCode, run.exitCode, run.toString());
        assertTrue(output.contains(c.expected.replace("%TMP%", tmp.toString())), run.toString());
        // Nothing left behind: an extracted library goes when the JVM exits, a refused one at once.
        try (Stream<Path> left = Files.list(tmp)) {
            assertEquals(List.of(), left.toList());
        }
    }

    @Test
    void extractsIntoAPrivateDirectoryAndServesTheCommandLine() throws Exception {
        Path tmp = Files.createDirectory(work.resolve("tmp"));
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            Run receive =
                    Run.start(
                            tarvolexJar(),
                            List.of("-Djava.io.tmpdir=" + tmp),
                            "receive",
                            "COM4",
                            "-n",
                            "3",
                            "-s",
                            "30");
            Path library = awaitExtracted(tmp, receive);
            assertEquals("rwx------", permissions(library.getParent()));
            try (SerialPort port = SerialPort.open("COM3")) {
                port.getOutputStream().write("abc".getBytes(StandardCharsets.US_ASCII));
            }
            Run done = receive.finish();
            assertEquals(0, done.exitCode, done.toString());
            assertEquals("abc", done.stdout);
            assertTrue(Files.notExists(library.getParent()), "extracted library removed at exit");
        }
    }

    private static Path awaitExtracted(Path tmp, Run run) throws Exception {
        long deadline = System.nanoTime() + Duration.ofSeconds(30).toNanos();
        while (System.nanoTime() < deadline && run.process.isAlive()) {
            try (Stream<Path> dirs = Files.list(tmp)) {
                for (Path dir : dirs.toList()) {
                    Path library = dir.resolve("libTarvolex.so");
                    if (Files.exists(library)) {
                        return library;
                    }
                }
            }
            Thread.sleep(20);
        }
        throw new AssertionError("no library was extracted into " + tmp + ": " + run.finish());
    }

    private static String permissions(Path path) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(path));
    }

    /** tarvolex.jar from this JVM's class path, where the test suite puts it. */
    static Path tarvolexJar() {
        return Arrays.stream(System.getProperty("java.class.path").split(":"))
                .map(Paths::get)
                .filter(p -> p.getFileName().toString().equals("tarvolex.jar"))
                .findFirst()
                .orElseThrow(() -> new AssertionError("tarvolex.jar is not on the class path"));
    }

    /** A copy of the jar with one entry edited, or removed when {@code edit} is null. */
    private Path copyWith(Path jar, String entry, Consumer<byte[]> edit) throws IOException {
        Path copy = work.resolve("edited.jar");
        Files.copy(jar, copy);
        URI uri = URI.create("jar:" + copy.toUri());
        try (FileSystem zip = FileSystems.newFileSystem(uri, Map.of())) {
            Path inside = zip.getPath(entry);
            if (edit == null) {
                Files.delete(inside);
            } else {
                byte[] bytes = Files.readAllBytes(inside);
                edit.accept(bytes);
                Files.write(inside, bytes);
            }
        }
        return copy;
    }

    /** java -jar, with this JVM's environment (so TARVOLEX_PORT_DIR) and no library path. */
    static final class Run {
        final Process process;
        final Path out;
        final Path err;
        int exitCode;
        String stdout;
        String stderr;

        private Run(Process process, Path out, Path err) {
            this.process = process;
            this.out = out;
            this.err = err;
        }

        static Run start(Path jar, List<String> options, String... args) throws IOException {
            List<String> command = new ArrayList<>();
            command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
            command.addAll(options);
            command.add("-jar");
            command.add(jar.toString());
            command.addAll(List.of(args));
            Path out = Files.createTempFile("jar-run", ".out");
            Path err = Files.createTempFile("jar-run", ".err");
            Process process =
                    new ProcessBuilder(command)
                            .redirectOutput(out.toFile())
                            .redirectError(err.toFile())
                            .start();
            process.getOutputStream().close();
            return new Run(process, out, err);
        }

        Run finish() throws IOException, InterruptedException {
            if (!process.waitFor(60, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                throw new AssertionError("java -jar did not end within 60 s");
            }
            exitCode = process.exitValue();
            stdout = Files.readString(out, StandardCharsets.ISO_8859_1);
            stderr = Files.readString(err, StandardCharsets.ISO_8859_1);
            Files.delete(out);
            Files.delete(err);
            return this;
        }

        @Override
        public String toString() {
            return "exit " + exitCode + "\nstdout:\n" + stdout + "\nstderr:\n" + stderr;
        }
    }
}
