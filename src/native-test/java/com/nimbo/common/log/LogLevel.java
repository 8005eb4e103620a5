package com.nimbo.common.log;

/** Test stand-in for the product's log level: keeps the native level number it was made from. */
public final class LogLevel {
    private final int value;

    private LogLevel(int value) {
        this.value = value;
    }

    public static LogLevel valueOf(int value) {
        return new LogLevel(value);
    }

    public int intValue() {
        return value;
    }
}
