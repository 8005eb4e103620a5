package com.nimbo.common.util15;

import com.sun.management.HotSpotDiagnosticMXBean;
import java.io.File;
import java.io.IOException;
import java.lang.management.ManagementFactory;

/** Heap dumps in HPROF format through the runtime's diagnostic management interface. */
public final class SunHeapDump {
    private static final String SUFFIX = ".hprof";

    private SunHeapDump() {
    }

    /**
     * Writes a heap dump to {@code path}, which must end in ".hprof" and must not exist yet (an existing
     * dump is never overwritten). With {@code live} only objects still reachable are written, after a
     * full collection.
     */
    public static void dumpHeap(String path, boolean live) throws IOException {
        if (path == null || !path.endsWith(SUFFIX)) {
            throw new IllegalArgumentException("A heap dump file name must end in " + SUFFIX + ": " + path);
        }
        if (new File(path).exists()) {
            throw new IOException("The heap dump file already exists: " + path);
        }
        HotSpotDiagnosticMXBean diagnostics = ManagementFactory.getPlatformMXBean(HotSpotDiagnosticMXBean.class);
        if (diagnostics == null) {
            throw new UnsupportedOperationException("This Java VM offers no diagnostic interface for heap dumps");
        }
        diagnostics.dumpHeap(path, live);
    }
}
