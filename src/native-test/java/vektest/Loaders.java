package vektest;

import java.io.File;
import java.net.MalformedURLException;
import java.net.URL;
import java.net.URLClassLoader;

/** Class loaders for the native class lookup tests. */
public final class Loaders {
    private Loaders() {
    }

    /** A loader over the test jar alone, with no parent but the bootstrap loader. */
    public static ClassLoader jarLoader(String jarPath) throws MalformedURLException {
        return new URLClassLoader(new URL[] {new File(jarPath).toURI().toURL()}, null);
    }

    /** A loader that cannot load anything. */
    public static ClassLoader failing() {
        return new ClassLoader(null) {
            @Override
            public Class<?> loadClass(String name) throws ClassNotFoundException {
                throw new ClassNotFoundException("refusing " + name);
            }
        };
    }

    public static ClassLoader loaderOf(Class<?> c) {
        return c.getClassLoader();
    }
}
