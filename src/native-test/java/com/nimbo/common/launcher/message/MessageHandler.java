package com.nimbo.common.launcher.message;

import com.sun.management.HotSpotDiagnosticMXBean;
import java.io.File;
import java.io.IOException;
import java.io.PrintWriter;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

/**
 * The Java end of the launcher message bridge, as the sample launcher and the native tests use it.
 * It answers the launcher requests (stop, thread dump, heap dump, support bundle, debug level)
 * and a few test types, and records every call as "type|responseExpected|text|alreadyHandled"
 * for the tests to read back with drain().
 */
public final class MessageHandler {
    public static final int NOT_HANDLED = 1;
    public static final int OK = 2;
    public static final int SHUTDOWN = 4;
    public static final int THREAD_DUMP = 5;
    public static final int SUPPORT_BUNDLE = 6;
    public static final int HEAP_DUMP = 14;
    /** Debug-level requests of the sample launcher: the payload is the level text. */
    public static final int DEBUG_LEVEL = 20;
    /** Test types: throw, reply without data, echo the bytes (reply not expecting a response). */
    public static final int THROW = 100;
    public static final int NULL_DATA = 101;
    public static final int ECHO = 102;

    /** Directory for thread dumps; the launcher sets it to its state directory. */
    public static final String STATE_PROPERTY = "vek.launcher.state";
    /** When set, a stop request ends the process with System.exit(that status) inside the handler. */
    public static final String EXIT_ON_STOP_PROPERTY = "vektest.exitOnStop";

    private static final List<String> calls = new ArrayList<>();
    private static volatile String debugLevel = "";

    private MessageHandler() {
    }

    public static Message incomingMessage(int type, boolean responseExpected, byte[] data, boolean alreadyHandled) {
        String text = textOf(data);
        synchronized (calls) {
            calls.add(type + "|" + responseExpected + "|" + text + "|" + alreadyHandled);
        }
        switch (type) {
            case SHUTDOWN:
                Integer exitStatus = Integer.getInteger(EXIT_ON_STOP_PROPERTY);
                if (exitStatus != null) {
                    System.exit(exitStatus);
                }
                return Message.text(OK, "Java side stopping on: " + text);
            case THREAD_DUMP:
                return threadDump();
            case HEAP_DUMP:
                return heapDump(text);
            case SUPPORT_BUNDLE:
                return Message.text(OK, "Support bundle requested");
            case DEBUG_LEVEL:
                debugLevel = text;
                return Message.text(OK, "Debug level set to " + text);
            case THROW:
                throw new IllegalStateException("handler refused type " + type);
            case NULL_DATA:
                return new Message(OK, true, null);
            case ECHO:
                return new Message(OK, false, data);
            default:
                return null;
        }
    }

    /** The recorded calls, oldest first; the record is emptied. */
    public static String[] drain() {
        synchronized (calls) {
            String[] out = calls.toArray(new String[0]);
            calls.clear();
            return out;
        }
    }

    public static String debugLevel() {
        return debugLevel;
    }

    // Payload text without the terminating zero a native text carries.
    private static String textOf(byte[] data) {
        int end = data.length;
        while (end > 0 && data[end - 1] == 0) {
            end--;
        }
        return new String(data, 0, end, StandardCharsets.UTF_8);
    }

    private static Message threadDump() {
        Map<Thread, StackTraceElement[]> stacks = Thread.getAllStackTraces();
        String dir = System.getProperty(STATE_PROPERTY);
        if (dir == null) {
            return Message.text(OK, "Thread dump of " + stacks.size() + " threads");
        }
        File file = new File(dir, "threaddump-" + System.currentTimeMillis() + ".txt");
        try (PrintWriter out = new PrintWriter(file, StandardCharsets.UTF_8)) {
            for (Map.Entry<Thread, StackTraceElement[]> entry : stacks.entrySet()) {
                out.println("\"" + entry.getKey().getName() + "\"");
                for (StackTraceElement frame : entry.getValue()) {
                    out.println("\tat " + frame);
                }
            }
        } catch (IOException e) {
            return Message.text(NOT_HANDLED, "Thread dump failed: " + e);
        }
        return Message.text(OK, "Thread dump written to " + file.getPath());
    }

    // Payload lines: file name, "true" or "false" (live objects only), the sender.
    private static Message heapDump(String text) {
        String[] lines = text.split("\n", 3);
        if (lines.length < 2) {
            return Message.text(NOT_HANDLED, "Malformed heap dump request");
        }
        try {
            HotSpotDiagnosticMXBean bean = ManagementFactory.getPlatformMXBean(HotSpotDiagnosticMXBean.class);
            bean.dumpHeap(lines[0], Boolean.parseBoolean(lines[1]));
        } catch (IOException | RuntimeException e) {
            return Message.text(NOT_HANDLED, "Heap dump failed: " + e.getMessage());
        }
        return Message.text(OK, "Heap dump written to " + lines[0]);
    }
}
