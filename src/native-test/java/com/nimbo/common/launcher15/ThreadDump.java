package com.nimbo.common.launcher15;

import java.io.PrintStream;
import java.lang.management.LockInfo;
import java.lang.management.ManagementFactory;
import java.lang.management.MonitorInfo;
import java.lang.management.ThreadInfo;
import java.time.LocalDateTime;

/** Thread dumps of the running VM on standard output, in the layout of the runtime's own dumps. */
public final class ThreadDump {
    private ThreadDump() {
    }

    /** Writes the stack of every live thread, with the locks each holds and waits for. */
    public static void dumpStack() {
        StringBuilder out = new StringBuilder();
        out.append(LocalDateTime.now()).append('\n');
        out.append("Full thread dump ").append(System.getProperty("java.vm.name")).append(" (")
                .append(System.getProperty("java.vm.version")).append("):\n");
        for (ThreadInfo info : ManagementFactory.getThreadMXBean().dumpAllThreads(true, true)) {
            appendThread(out, info);
        }
        PrintStream stdout = System.out;
        stdout.print(out);
        stdout.flush();
    }

    private static void appendThread(StringBuilder out, ThreadInfo info) {
        out.append('\n').append('"').append(info.getThreadName()).append('"')
                .append(info.isDaemon() ? " daemon" : "")
                .append(" prio=").append(info.getPriority())
                .append(" Id=").append(info.getThreadId())
                .append(' ').append(info.getThreadState());
        LockInfo waitingFor = info.getLockInfo();
        if (waitingFor != null) {
            out.append(" on ").append(waitingFor);
            if (info.getLockOwnerName() != null) {
                out.append(" owned by \"").append(info.getLockOwnerName()).append("\" Id=").append(info.getLockOwnerId());
            }
        }
        out.append('\n');
        StackTraceElement[] frames = info.getStackTrace();
        MonitorInfo[] monitors = info.getLockedMonitors();
        for (int depth = 0; depth < frames.length; depth++) {
            out.append("\tat ").append(frames[depth]).append('\n');
            for (MonitorInfo monitor : monitors) {
                if (monitor.getLockedStackDepth() == depth) {
                    out.append("\t- locked ").append(monitor).append('\n');
                }
            }
        }
        for (LockInfo synchronizer : info.getLockedSynchronizers()) {
            out.append("\t- locked ownable synchronizer ").append(synchronizer).append('\n');
        }
    }
}
