package vektest;

/**
 * A Java caller of a native method that throws, logs and returns, as JNI code commonly does. The
 * native tests bind throwLogReturn themselves.
 */
public final class ThrowingNative {
    private ThrowingNative() {
    }

    /** Throws an IllegalStateException with the message, logs (with the exception when asked) and returns. */
    static native void throwLogReturn(String message, boolean withException);

    /** The message of what the native threw, or "nothing thrown". */
    public static String call(String message, boolean withException) {
        try {
            throwLogReturn(message, withException);
            return "nothing thrown";
        } catch (IllegalStateException e) {
            return e.getMessage();
        }
    }
}
