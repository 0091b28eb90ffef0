package com.vembor.tarvolex.cli;

import java.io.PrintStream;

/** Progress of a long transfer on standard error: one line a second, after the first second. */
final class Progress {
    private static final long INTERVAL_NANOS = 1_000_000_000L;

    private final PrintStream err;
    private final String label;
    private final long total;
    private final long start = System.nanoTime();
    private long lastShown = start;
    private long current;
    private boolean shown;

    /** A transfer of {@code total} bytes, or of an unknown amount when it is negative. */
    Progress(PrintStream err, String label, long total) {
        this.err = err;
        this.label = label;
        this.total = total;
    }

    void update(long bytes) {
        current = bytes;
        long now = System.nanoTime();
        if (now - lastShown >= INTERVAL_NANOS) {
            lastShown = now;
            show(now);
        }
    }

    /** Shows the final figures, if progress was shown at all. */
    void done() {
        if (shown) {
            show(System.nanoTime());
        }
    }

    private void show(long now) {
        shown = true;
        StringBuilder line = new StringBuilder(label).append(": ").append(current);
        if (total >= 0) {
            line.append('/').append(total);
        }
        line.append(" bytes");
        if (total > 0) {
            line.append(" (").append(100 * current / total).append("%)");
        }
        double seconds = (now - start) / 1e9;
        line.append(String.format(java.util.Locale.ROOT, ", %.0f bytes/s", current / seconds));
        err.println(line);
    }
}
