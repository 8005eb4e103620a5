package vektest;

/** Objects that look like launcher messages but lack one of their fields. */
public final class MessageShapes {
    private MessageShapes() {
    }

    /** Has the type only. */
    public static final class TypeOnly {
        public int mType = 2;
    }

    /** Has the type and the response flag, but no data. */
    public static final class NoData {
        public int mType = 2;
        public boolean mResponseExpected = true;
    }

    public static Object typeOnly() {
        return new TypeOnly();
    }

    public static Object noData() {
        return new NoData();
    }
}
