package demo.app;

/** A small application whose methods the recorder instruments while it runs. */
public final class Shop {
    private static final String[] ITEMS = {"apple", "pear", "plum", "fig"};
    private static final int[] CENTS = {40, 55, 30, 90};

    private final Inventory inventory = new Inventory(ITEMS, 1_000_000);
    private long revenueCents;

    /** Places one order; answers its price in cents (0 when nothing was in stock). */
    public long placeOrder(int itemIndex, int quantity) {
        int i = Math.floorMod(itemIndex, ITEMS.length);
        int taken = inventory.reserve(ITEMS[i], quantity);
        long price = (long) taken * CENTS[i];
        revenueCents += price;
        return price;
    }

    /** Places {@code orders} orders of 1 to 3 items, cycling through the items. */
    public long run(int orders) {
        long total = 0;
        for (int n = 0; n < orders; n++) {
            total += placeOrder(n, 1 + n % 3);
        }
        return total;
    }

    public long revenueCents() {
        return revenueCents;
    }
}
