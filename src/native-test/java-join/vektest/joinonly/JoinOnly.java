package vektest.joinonly;

/** Compiled apart from the other test classes: reachable only through a class loader over its own directory. */
public final class JoinOnly {
    private JoinOnly() {
    }

    public static String where() {
        return "join-only";
    }
}
