package vektest;

import com.nimbo.common.io.NativeFile;
import com.nimbo.common.log.LogCategory;

/**
 * Main class for the sample host's end-to-end tests: reports what it was started with. The first
 * argument "throw" makes main throw; "linger" leaves a non-daemon thread running for a moment, which
 * the host must wait for before the VM goes.
 */
public final class HostMain {
    private HostMain() {
    }

    public static void main(String[] args) throws Exception {
        StringBuilder line = new StringBuilder("args=");
        for (String arg : args) {
            line.append('[').append(arg).append(']');
        }
        System.out.println(line);
        System.out.println("greeting=" + System.getProperty("vektest.greeting"));
        System.out.println("restart-marker=" + System.getenv("VEK_RESTART_IN_PROGRESS"));
        System.out.println("library-path=" + System.getenv("LD_LIBRARY_PATH"));
        // The host binds the natives before main runs; a call proves they are really there.
        System.out.println("native-file=" + NativeFile.mEnabled + " "
                + Integer.toOctalString(NativeFile.getNativePermissions("/")));
        for (String record : LogCategory.drain()) {
            System.out.println("replayed=" + record);
        }
        if (args.length > 0 && args[0].equals("throw")) {
            throw new IllegalStateException("main was asked to fail");
        }
        if (args.length > 0 && args[0].equals("linger")) {
            Thread worker = new Thread(() -> {
                try {
                    Thread.sleep(500);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
                System.out.println("worker finished");
            });
            worker.start();
        }
        System.out.flush();
    }
}
