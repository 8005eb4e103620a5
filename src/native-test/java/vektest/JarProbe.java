package vektest;

/** A class the tests load through a loader over the test jar. */
public final class JarProbe {
    private JarProbe() {
    }
}
