"""A shop in an in-memory DuckDB database, made with SQL, turned into a graph in one call.

    pip install duckdb
    python examples/from_database.py

1. Create three tables with SQL: customers (string keys), products (sparse integer keys) and
   orders, whose foreign keys point to both and whose timestamps say when they were placed.
2. One call reads the tables, their keys and their foreign keys: tables become node types,
   every foreign key two edge types, the order times node times.
3. Ask the database for prediction times (each customer a week after their latest order),
   turn the customer keys into node ids, and sample each customer's recent past: their
   orders of the last 30 days, the products ordered, and each product's latest buyers.
"""

from __future__ import annotations

import duckdb
import numpy as np

import quorvix

DAY = 86_400

SHOP_SQL = """
CREATE TABLE customers (
    id VARCHAR PRIMARY KEY,
    country VARCHAR
);
CREATE TABLE products (
    sku BIGINT PRIMARY KEY,
    price DOUBLE
);
CREATE TABLE orders (
    id BIGINT PRIMARY KEY,
    customer_id VARCHAR REFERENCES customers (id),
    sku BIGINT REFERENCES products (sku),
    placed TIMESTAMP,
    quantity INTEGER
);
INSERT INTO customers
    SELECT 'c' || lpad(i::VARCHAR, 4, '0'), ['DE', 'FR', 'NL'][1 + i % 3] FROM range(200) t(i);
INSERT INTO products
    SELECT 1000 + 7 * i, round(5 + 95 * random(), 2) FROM range(50) t(i);
INSERT INTO orders
    SELECT i,
           'c' || lpad((hash(i) % 200)::VARCHAR, 4, '0'),
           1000 + 7 * (hash(i * 31) % 50),
           TIMESTAMP '2024-01-01' + to_seconds((hash(i * 17) % (180 * 86400))::BIGINT),
           1 + i % 4
    FROM range(3000) t(i);
"""

# One prediction time per customer who ordered: a week after their latest order.
PREDICTION_SQL = """
SELECT customer_id, max(placed) + INTERVAL 7 DAY AS at
FROM orders GROUP BY customer_id ORDER BY customer_id LIMIT 8
"""


def main():
    con = duckdb.connect()
    con.execute("SELECT setseed(0.5)")
    con.execute(SHOP_SQL)

    graph, keys = quorvix.Graph.from_database(con, time_columns={"orders": "placed"})
    print("edge types:", ", ".join("__".join(e) for e in graph.edge_types))
    print("nodes:", keys.num_nodes)
    print("skipped references:", keys.dangling)

    customers, at = con.execute(PREDICTION_SQL).fetchnumpy().values()
    at = at.astype("datetime64[s]")
    seed_node = keys.to_id("customers", customers)
    seed_time = at.view(np.int64)

    sampler = quorvix.NeighborSampler(graph)
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = sampler.sample(
        {"customers__rev_f2p_customer_id__orders": [0, 0, 0],  # an order's customer: not needed
         "products__rev_f2p_sku__orders": [0, 1, 0],            # hop 2: each order's product
         "orders__f2p_sku__products": [0, 0, 3]},               # hop 3: its 3 latest orders
        {"orders__f2p_customer_id__customers": np.array([[-30 * DAY, 0]])},  # hop 1: 30 days
        "customers", seed_node, seed_time)
    print("\nsampled nodes per hop:", {t: n.tolist() for t, n in num_nodes.items()})

    # Features are looked up by node id: a node's id is its row in the table as read.
    orders = con.execute("SELECT id, placed, quantity FROM orders").fetchnumpy()
    order_ids = keys.to_key("orders", out_node["orders"])
    assert np.array_equal(orders["id"][out_node["orders"]], order_ids)
    placed = orders["placed"].astype("datetime64[s]").view(np.int64)[out_node["orders"]]
    later = placed > seed_time[out_batch["orders"]]
    print("no sampled order is later than its seed's time:", "yes" if not later.any() else "NO")
    for i, customer in enumerate(customers[:3]):
        mine = order_ids[out_batch["orders"] == i]
        print(f"  {customer} at {at[i]}: orders {sorted(mine.tolist())}")


if __name__ == "__main__":
    main()
