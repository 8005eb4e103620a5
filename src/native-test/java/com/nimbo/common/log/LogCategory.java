package com.nimbo.common.log;

import java.util.ArrayList;
import java.util.List;

/**
 * Test stand-in for the product's log category: records every logRaw call as one line
 * "category|level|text|exception message|flag|source" for the native tests to read back.
 * A text containing "[refuse]" makes logRaw throw, as a broken Java logging set-up would.
 */
public final class LogCategory {
    private static final List<String> records = new ArrayList<>();
    private final String name;

    private LogCategory(String name) {
        this.name = name;
    }

    public static LogCategory getInstance(String name) {
        return new LogCategory(name);
    }

    public void logRaw(LogLevel level, String text, Throwable thrown, boolean flag, String source) {
        if (text.contains("[refuse]")) {
            throw new IllegalStateException("logRaw refused the text");
        }
        String line = name + "|" + level.intValue() + "|" + text + "|"
                + (thrown == null ? "<none>" : thrown.getMessage()) + "|" + flag + "|"
                + (source == null ? "<null>" : source);
        synchronized (records) {
            records.add(line);
        }
    }

    /** The recorded lines, oldest first; the record is emptied. */
    public static String[] drain() {
        synchronized (records) {
            String[] out = records.toArray(new String[0]);
            records.clear();
            return out;
        }
    }
}
