package com.vembor.tarvolex;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.DigestInputStream;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.EnumSet;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Loads the native library: an installed one from {@code java.library.path} when there is one,
 * otherwise the copy for this platform that the jar carries under {@code natives/PLATFORM/}.
 *
 * <p>A bundled copy is written into a directory created for this process alone (owner-only
 * permissions, never a shared or predictable path, never an existing file), checked against the
 * SHA-256 that the build recorded in {@code natives/SHA256SUMS}, and loaded from there. The file
 * and its directory are deleted when the JVM exits, where the OS lets a loaded library go.
 */
final class NativeLoader {
    static final String LIBRARY = "Tarvolex";

    /** The platforms that a complete jar carries, with the library's file name on each. */
    static final Map<String, String> PLATFORMS =
            Map.of(
                    "linux-x86_64", "libTarvolex.so",
                    "windows-x86", "Tarvolex.dll",
                    "windows-x86_64", "Tarvolex.dll");

    private static final List<String> SUPPORTED = PLATFORMS.keySet().stream().sorted().toList();
    private static final String NATIVES = "/natives/";
    private static final String SUMS = NATIVES + "SHA256SUMS";

    private static String loadedFrom;

    private NativeLoader() {}

    /** Loads the library once per class loader; throws UnsatisfiedLinkError when it cannot. */
    static synchronized void load() {
        if (loadedFrom != null) {
            return;
        }
        try {
            System.loadLibrary(LIBRARY);
            loadedFrom = "java.library.path";
        } catch (UnsatisfiedLinkError notInstalled) {
            loadedFrom = loadBundled().toString();
        }
    }

    /** Where the library came from: "java.library.path", or the extracted file. */
    static synchronized String loadedFrom() {
        return loadedFrom;
    }

    /** This JVM's platform in the jar's folder naming, such as "linux-x86_64". */
    static String platform() {
        return platformOf(System.getProperty("os.name", ""), System.getProperty("os.arch", ""));
    }

    static String platformOf(String osName, String osArch) {
        String os = osName.toLowerCase(Locale.ROOT);
        if (os.startsWith("windows")) {
            os = "windows";
        } else if (os.startsWith("mac")) {
            os = "macos";
        } else {
            os = os.replaceAll("[^a-z0-9]", "");
        }
        String arch = osArch.toLowerCase(Locale.ROOT);
        switch (arch) {
        case "amd64":
        case "x86_64":
            arch = "x86_64";
            break;
        case "x86":
        case "i386":
        case "i486":
        case "i586":
        case "i686":
            arch = "x86";
            break;
        default:
            break;
        }
        return os + "-" + arch;
    }

    private static Path loadBundled() {
        String platform = platform();
        String fileName = PLATFORMS.get(platform);
        if (fileName == null) {
            throw new UnsatisfiedLinkError(
                    "Tarvolex has no native library for this platform, "
                            + platform
                            + " (os.name \""
                            + System.getProperty("os.name")
                            + "\", os.arch \""
                            + System.getProperty("os.arch")
                            + "\"); supported platforms: "
                            + String.join(", ", SUPPORTED));
        }
        String resource = NATIVES + platform + "/" + fileName;
        String expected = recordedSums().get(platform + "/" + fileName);
        try (InputStream bundled = NativeLoader.class.getResourceAsStream(resource)) {
            if (bundled == null || expected == null) {
                throw new UnsatisfiedLinkError(
                        "This tarvolex.jar was built without the native library for "
                                + platform
                                + " ("
                                + resource.substring(1)
                                + "), and "
                                + System.mapLibraryName(LIBRARY)
                                + " is not on java.library.path; it carries: "
                                + String.join(", ", bundledPlatforms()));
            }
            Path file = extract(bundled, fileName, expected);
            try {
                System.load(file.toString());
            } catch (UnsatisfiedLinkError e) {
                UnsatisfiedLinkError failed =
                        new UnsatisfiedLinkError(
                                "Cannot load the extracted native library "
                                        + file
                                        + " (a temporary directory mounted noexec? set"
                                        + " java.io.tmpdir): "
                                        + e.getMessage());
                failed.initCause(e);
                throw failed;
            }
            return file;
        } catch (IOException e) {
            UnsatisfiedLinkError failed =
                    new UnsatisfiedLinkError(
                            "Cannot extract the native library for " + platform + ": " + e);
            failed.initCause(e);
            throw failed;
        }
    }

    /**
     * Writes the library into a new private directory, hashing it on the way, and returns the
     * file only when the hash is the recorded one.
     */
    private static Path extract(InputStream bundled, String fileName, String expected)
            throws IOException {
        Path dir = createPrivateDirectory();
        Path file = dir.resolve(fileName);
        // Deleted in the reverse order of registration: the file first, then its directory.
        dir.toFile().deleteOnExit();
        file.toFile().deleteOnExit();
        MessageDigest sha256 = sha256();
        try (InputStream in = new DigestInputStream(bundled, sha256);
                OutputStream out =
                        Files.newOutputStream(
                                file, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE)) {
            in.transferTo(out);
        }
        String actual = HexFormat.of().formatHex(sha256.digest());
        if (!actual.equalsIgnoreCase(expected)) {
            Files.deleteIfExists(file);
            Files.deleteIfExists(dir);
            throw new UnsatisfiedLinkError(
                    "Refusing to load the native library "
                            + fileName
                            + " from the jar: its SHA-256 is "
                            + actual
                            + " but the build recorded "
                            + expected
                            + " (the jar is damaged or was altered)");
        }
        return file;
    }

    private static Path createPrivateDirectory() throws IOException {
        if (FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
            return Files.createTempDirectory(
                    "tarvolex-",
                    PosixFilePermissions.asFileAttribute(
                            PosixFilePermissions.fromString("rwx------")));
        }
        Path dir = Files.createTempDirectory("tarvolex-");
        AclFileAttributeView acl = Files.getFileAttributeView(dir, AclFileAttributeView.class);
        if (acl != null) {
            // Only the owner, with everything inherited by what the directory will hold.
            acl.setAcl(
                    List.of(
                            AclEntry.newBuilder()
                                    .setType(AclEntryType.ALLOW)
                                    .setPrincipal(acl.getOwner())
                                    .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                                    .setFlags(
                                            AclEntryFlag.FILE_INHERIT,
                                            AclEntryFlag.DIRECTORY_INHERIT)
                                    .build()));
        }
        return dir;
    }

    /** natives/SHA256SUMS: lines of "hash  platform/file", as sha256sum writes them. */
    private static Map<String, String> recordedSums() {
        Map<String, String> sums = new HashMap<>();
        InputStream stream = NativeLoader.class.getResourceAsStream(SUMS);
        if (stream == null) {
            return sums;
        }
        try (BufferedReader lines =
                new BufferedReader(new InputStreamReader(stream, StandardCharsets.UTF_8))) {
            String line;
            while ((line = lines.readLine()) != null) {
                String[] fields = line.trim().split("\\s+\\*?", 2);
                if (fields.length == 2) {
                    sums.put(fields[1], fields[0]);
                }
            }
        } catch (IOException e) {
            sums.clear();
        }
        return sums;
    }

    private static List<String> bundledPlatforms() {
        Map<String, String> sums = recordedSums();
        return SUPPORTED.stream()
                .map(p -> p + "/" + PLATFORMS.get(p))
                .filter(r -> sums.containsKey(r))
                .filter(r -> NativeLoader.class.getResource(NATIVES + r) != null)
                .map(r -> r.substring(0, r.indexOf('/')))
                .toList();
    }

    private static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("Every JVM provides SHA-256", e);
        }
    }
}
