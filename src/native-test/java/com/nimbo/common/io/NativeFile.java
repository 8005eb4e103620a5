package com.nimbo.common.io;

import java.io.IOException;

/**
 * File facts the Java platform library does not give: Unix permission bits, the owning
 * account, symbolic links and free space. The natives are bound by the hosting program;
 * mEnabled turns true once they are.
 */
public final class NativeFile {
    public static boolean mEnabled = false;

    private NativeFile() {
    }

    /** Creates a symbolic link at source pointing to dest. */
    public static native boolean createSymlink(String source, String dest) throws IOException;

    /** The stored target of a symbolic link, or null when filename is not one. */
    public static native String getNativeSymlink(String filename) throws IOException;

    /** The owner's account name (or numeric user ID). */
    public static native String getNativeOwner(String filename) throws IOException;

    /** Unix mode bits (mask 07777) of the file itself, links not followed. */
    public static native int getNativePermissions(String filename) throws IOException;

    /** Sets the Unix mode bits. */
    public static native void setNativePermissions(String filename, int permission) throws IOException;

    /** Free bytes on the file system holding filename, or -1 when unknown. */
    public static native long getNativeAvailableBytes(String filename);
}
