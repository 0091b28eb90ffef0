package com.vembor.tarvolex;

/**
 * The serial (COM) ports of this machine, as six native methods.
 *
 * <p>Every port is used at 57600 bit/s, 8 data bits, no parity and one stop bit, with fixed
 * time-outs: a read waits about one second for its byte. A port handle comes from {@link
 * #doOpen}, serves any number of reads and writes, from any threads, and is given up with {@link
 * #doClose}. Listing, opening and closing write a time-stamped trace line to standard error.
 *
 * <p>The native library is loaded with this class: {@code Tarvolex} from {@code
 * java.library.path} when it is installed there, otherwise the copy for this platform that
 * tarvolex.jar carries, after checking its SHA-256. {@link SerialPort} offers the same ports as
 * {@code java.io} streams.
 */
public final class Tarvolex {
    static {
        // From java.library.path, or else the copy for this platform that the jar carries.
        NativeLoader.load();
    }

    private Tarvolex() {}

    /**
     * Probes COM1 to COM40.
     *
     * @return 40 entries: entry {@code n - 1} holds {@code "COMn"} when that port could be opened
     *     at this moment, the empty string otherwise
     */
    public static native String[] listPorts();

    /**
     * Opens a port for exclusive use, at 57600 bit/s 8N1.
     *
     * @param port the port name, such as {@code "COM3"}, or a device path such as {@code
     *     "\\\\.\\COM12"}
     * @param unused not read
     * @return the port handle
     * @throws java.io.IOException "Connection failed." when the port cannot be opened,
     *     "Connection setup failed." or "Connection timeout setup failed." when the device refuses
     *     the line settings or time-outs
     */
    public static native int doOpen(String port, int unused) throws java.io.IOException;

    /**
     * Reads one byte, waiting about one second for it.
     *
     * @param handle the port handle
     * @return the byte, 0 to 255, or -1 when none arrived in time
     * @throws Exception "Can not read serial port." when the read cannot be started
     */
    public static native int doRead(int handle) throws Exception;

    /**
     * Writes {@code length} bytes of {@code data} from index {@code offset}; returns once written.
     *
     * @param handle the port handle
     * @param data the bytes; {@code null} writes nothing
     * @param offset the index of the first byte
     * @param length how many bytes; 0 writes nothing
     * @throws java.io.IOException "Cannot write to serial port." when not all bytes could be
     *     written
     */
    public static native void doWrite(int handle, byte[] data, int offset, int length)
            throws java.io.IOException;

    /**
     * Writes one byte; returns once written.
     *
     * @param handle the port handle
     * @param value the byte
     * @throws java.io.IOException "Connection closed." when the byte could not be written
     */
    public static native void doWrite(int handle, byte value) throws java.io.IOException;

    /**
     * Closes a port. Never fails; the handle 0 stands for no port.
     *
     * @param handle the port handle
     */
    public static native void doClose(int handle);
}
