package demo.app;

import java.util.HashMap;
import java.util.Map;

/** The shop's stock: reserving takes items out of it. */
public final class Inventory {
    private final Map<String, Integer> stock = new HashMap<>();

    public Inventory(String[] items, int each) {
        for (String item : items) {
            stock.put(item, each);
        }
    }

    /** Takes up to {@code quantity} items; answers how many were taken. */
    public int reserve(String item, int quantity) {
        int left = stock.getOrDefault(item, 0);
        int taken = Math.min(left, quantity);
        stock.put(item, left - taken);
        return taken;
    }

    public int left(String item) {
        return stock.getOrDefault(item, 0);
    }
}
