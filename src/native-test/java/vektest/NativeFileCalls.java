package vektest;

import com.nimbo.common.io.NativeFile;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;

/**
 * Calls the NativeFile natives from Java code, as the product does, and reports each
 * outcome as one text for the native tests: "ok:" and the result (modes in octal), or
 * "IOException:" and the message.
 */
public final class NativeFileCalls {
    private NativeFileCalls() {
    }

    public static String call(String op, String a, String b, int mode) {
        try {
            switch (op) {
                case "createSymlink":
                    return "ok:" + NativeFile.createSymlink(a, b);
                case "getNativeSymlink":
                    return "ok:" + NativeFile.getNativeSymlink(a);
                case "getNativeOwner":
                    return "ok:" + NativeFile.getNativeOwner(a);
                case "getNativePermissions":
                    return "ok:" + Integer.toOctalString(NativeFile.getNativePermissions(a));
                case "setNativePermissions":
                    NativeFile.setNativePermissions(a, mode);
                    return "ok:";
                case "getNativeAvailableBytes":
                    return "ok:" + NativeFile.getNativeAvailableBytes(a);
                default:
                    return "unknown operation " + op;
            }
        } catch (IOException e) {
            return "IOException:" + e.getMessage();
        }
    }

    /**
     * Asks for the owners of files from many Java threads at once, all released together.
     * Returns every answer that differs from the expected owner of its file, as
     * "file -> answer" lines; empty when all agree.
     */
    public static String[] ownersConcurrently(String[] files, String[] expected, int threads, int rounds)
            throws InterruptedException {
        List<String> wrong = new ArrayList<>();
        CountDownLatch start = new CountDownLatch(1);
        List<Thread> workers = new ArrayList<>();
        for (int t = 0; t < threads; ++t) {
            final int first = t;
            Thread worker = new Thread(() -> {
                try {
                    start.await();
                    for (int r = 0; r < rounds; ++r) {
                        int i = (first + r) % files.length;
                        String owner = NativeFile.getNativeOwner(files[i]);
                        if (!expected[i].equals(owner)) {
                            synchronized (wrong) {
                                wrong.add(files[i] + " -> " + owner);
                            }
                        }
                    }
                } catch (Exception e) {
                    synchronized (wrong) {
                        wrong.add(e.toString());
                    }
                }
            });
            workers.add(worker);
            worker.start();
        }
        start.countDown();
        for (Thread worker : workers) {
            worker.join();
        }
        return wrong.toArray(new String[0]);
    }
}
