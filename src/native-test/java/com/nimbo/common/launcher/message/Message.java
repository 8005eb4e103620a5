package com.nimbo.common.launcher.message;

import java.nio.charset.StandardCharsets;

/** One inter-launcher message as the native side reads it back: type, response expected, payload bytes. */
public final class Message {
    public int mType;
    public boolean mResponseExpected;
    public byte[] mData;

    public Message(int type, boolean responseExpected, byte[] data) {
        mType = type;
        mResponseExpected = responseExpected;
        mData = data;
    }

    /** A reply whose payload is `text` with its terminating zero byte, as native texts travel. */
    public static Message text(int type, String text) {
        byte[] bytes = text.getBytes(StandardCharsets.UTF_8);
        byte[] data = new byte[bytes.length + 1];
        System.arraycopy(bytes, 0, data, 0, bytes.length);
        return new Message(type, true, data);
    }
}
