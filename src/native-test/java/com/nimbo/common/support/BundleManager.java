package com.nimbo.common.support;

/**
 * Test stand-in for the product's support bundle manager: counts the requests that reach it. The
 * native tests can make the next request fail, as a bundle that cannot be written would.
 */
public final class BundleManager {
    private static int requests;
    private static String refusal;

    private BundleManager() {
    }

    public static synchronized void bundleRequested() {
        requests++;
        if (refusal != null) {
            String message = refusal;
            refusal = null;
            throw new IllegalStateException(message);
        }
    }

    public static synchronized int requests() {
        return requests;
    }

    /** The next request throws an IllegalStateException with {@code message}. */
    public static synchronized void refuseNext(String message) {
        refusal = message;
    }
}
