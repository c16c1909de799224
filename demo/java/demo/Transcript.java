package demo;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import zevhost.Vm;

/**
 * The demo's output: stage headers, checked facts, and what crossed into the
 * VM's recorder interface (read from the VM's journal, tallied for the summary).
 */
final class Transcript {
    private final Map<String, Long> slotCalls = new LinkedHashMap<>();
    private final List<String> stagesPassed = new ArrayList<>();
    private final List<String> stagesFailed = new ArrayList<>();
    private final List<String> errorLogs = new ArrayList<>();
    private String stage;
    private int stageFailures;
    private long journalLines;
    private long wrongEnv;
    private long unreadable;
    private int checks;
    private int failures;

    void stage(String title) {
        endStage();
        stage = title;
        stageFailures = 0;
        System.out.println();
        System.out.println("== " + title + " ==");
    }

    void endStage() {
        if (stage != null) {
            (stageFailures == 0 ? stagesPassed : stagesFailed).add(stage);
            stage = null;
        }
    }

    void line(String text) {
        System.out.println("  " + text);
    }

    void line(String format, Object... args) {
        System.out.println("  " + String.format(format, args));
    }

    /** Prints the fact; marks the stage failed (with the reason) when it does not hold. */
    boolean check(boolean holds, String fact) {
        checks++;
        if (holds) {
            line(fact);
        } else {
            failures++;
            stageFailures++;
            line("!! NOT AS EXPECTED: " + fact);
        }
        return holds;
    }

    /**
     * Takes the VM's journal since the last call, tallies it, and prints up to
     * {@code shown} of its lines; the rest are summed up per slot.
     */
    String[] crossed(int shown) {
        String[] lines = take();
        Map<String, Integer> rest = new LinkedHashMap<>();
        for (int i = 0; i < lines.length; i++) {
            if (i < shown) {
                System.out.println("    vm| " + lines[i]);
            } else {
                rest.merge(slot(lines[i]), 1, Integer::sum);
            }
        }
        if (!rest.isEmpty()) {
            StringBuilder b = new StringBuilder();
            rest.forEach((s, n) -> b.append(b.length() == 0 ? "" : ", ").append(s).append(" x").append(n));
            System.out.println("    vm| ... and " + (lines.length - shown) + " more: " + b);
        }
        return lines;
    }

    /** Takes the VM's journal since the last call and tallies it, printing nothing. */
    String[] take() {
        String[] lines = Vm.takeJournal();
        for (String l : lines) {
            slotCalls.merge(slot(l), 1L, Long::sum);
            journalLines++;
            if (l.contains("WRONG_ENV")) {
                wrongEnv++;
            }
            if (l.contains("?")) {
                unreadable++;
            }
            if (l.startsWith("log(1, ")) {
                errorLogs.add(l);
            }
        }
        return lines;
    }

    static String slot(String journalLine) {
        int paren = journalLine.indexOf('(');
        return paren < 0 ? journalLine : journalLine.substring(0, paren);
    }

    static int count(String[] lines, String slot) {
        int n = 0;
        for (String l : lines) {
            if (slot(l).equals(slot)) {
                n++;
            }
        }
        return n;
    }

    static boolean has(String[] lines, String line) {
        for (String l : lines) {
            if (l.equals(line)) {
                return true;
            }
        }
        return false;
    }

    /** Prints the summary; answers the exit status. */
    int summary(String face, List<String> extra) {
        endStage();
        System.out.println();
        System.out.println("== Summary (" + face + ") ==");
        int total = stagesPassed.size() + stagesFailed.size();
        line("stages passed: %d/%d%s", stagesPassed.size(), total,
             stagesFailed.isEmpty() ? "" : "  (failed: " + String.join("; ", stagesFailed) + ")");
        line("checks: %d, not as expected: %d", checks, failures);
        StringBuilder calls = new StringBuilder();
        slotCalls.entrySet().stream()
                 .sorted((a, b) -> Long.compare(b.getValue(), a.getValue()))
                 .forEach(e -> calls.append(calls.length() == 0 ? "" : ", ")
                                    .append(e.getKey()).append(' ').append(e.getValue()));
        line("VM interface calls journaled: %d in %d slots%s", journalLines, slotCalls.size(),
             journalLines == 0 ? "" : ":");
        if (journalLines > 0) {
            wrap(calls.toString(), 6);
        }
        line("journal lines dropped: %d, wrong JNIEnv seen by the VM: %d, values unreadable"
             + " (exception pending): %d", Vm.journalDropped(), wrongEnv, unreadable);
        line("error lines logged to the VM (level 1): %d", errorLogs.size());
        for (String e : errorLogs) {
            line("  " + e);
        }
        for (String e : extra) {
            line(e);
        }
        line("result: %s", failures == 0 ? "PASS" : "FAIL");
        return failures == 0 ? 0 : 1;
    }

    /** Prints long comma-separated text over several indented lines. */
    private static void wrap(String text, int indent) {
        String pad = " ".repeat(indent);
        StringBuilder l = new StringBuilder();
        for (String part : text.split(", ")) {
            if (l.length() > 0 && l.length() + part.length() > 90) {
                System.out.println(pad + l + ",");
                l.setLength(0);
            }
            l.append(l.length() == 0 ? "" : ", ").append(part);
        }
        if (l.length() > 0) {
            System.out.println(pad + l);
        }
    }
}
