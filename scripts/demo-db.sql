-- The embedded demo database: a small shop with customers, products and orders.
-- Chinese text, decimals, date-times, a blob, primary keys and auto-increment columns, so that
-- every kind of column can be queried, edited and written back through the server.
PRAGMA foreign_keys = ON;
BEGIN;

CREATE TABLE customers (
  id       INTEGER PRIMARY KEY AUTOINCREMENT,
  name     VARCHAR(50) NOT NULL,
  city     VARCHAR(30),
  credit   DECIMAL(12, 2) NOT NULL DEFAULT 0,
  created  DATETIME NOT NULL,
  vip      BOOLEAN NOT NULL DEFAULT 0,
  photo    BLOB
);

CREATE TABLE products (
  code      VARCHAR(20) PRIMARY KEY,
  name      NVARCHAR(100) NOT NULL,
  price     DECIMAL(10, 2) NOT NULL,
  in_stock  INTEGER NOT NULL,
  added     DATE NOT NULL
);

CREATE TABLE orders (
  id            INTEGER PRIMARY KEY AUTOINCREMENT,
  customer_id   INTEGER NOT NULL REFERENCES customers(id),
  product_code  VARCHAR(20) NOT NULL REFERENCES products(code),
  quantity      INTEGER NOT NULL CHECK (quantity > 0),
  amount        DECIMAL(12, 2) NOT NULL,
  ordered_at    DATETIME NOT NULL,
  note          TEXT
);

INSERT INTO customers (name, city, credit, created, vip, photo) VALUES
  ('张伟', '北京', 5000.00, '2023-01-15 09:30:00', 1,
   X'89504E470D0A1A0A0000000D49484452000000010000000108060000001F15C489'),
  ('李娜', '上海', 1200.50, '2023-03-02 14:05:12', 0, NULL),
  ('王芳', '广州', 0.00, '2023-06-21 18:45:00', 0, NULL),
  ('Anna Schmidt', 'Berlin', 750.25, '2024-02-29 08:00:00', 0, NULL),
  ('John Smith', 'London', 99999.99, '2024-11-30 23:59:59', 1, NULL);

INSERT INTO products (code, name, price, in_stock, added) VALUES
  ('TEA-001', '西湖龙井茶 250g', 168.00, 120, '2023-01-01'),
  ('TEA-002', '铁观音 500g', 98.50, 45, '2023-02-10'),
  ('CUP-010', '景德镇瓷杯', 35.90, 300, '2023-05-05'),
  ('BOOK-42', 'The Art of Tea', 24.99, 12, '2024-01-20'),
  ('GIFT-01', '中秋礼盒', 388.00, 0, '2024-08-01');

INSERT INTO orders (customer_id, product_code, quantity, amount, ordered_at, note) VALUES
  (1, 'TEA-001', 2, 336.00, '2024-03-01 10:15:00', '送货前请电话联系'),
  (1, 'CUP-010', 6, 215.40, '2024-03-01 10:16:30', NULL),
  (2, 'TEA-002', 1, 98.50, '2024-04-12 16:20:00', '礼品包装'),
  (3, 'GIFT-01', 3, 1164.00, '2024-09-10 09:00:00', '公司采购'),
  (4, 'BOOK-42', 1, 24.99, '2024-10-05 12:30:45', 'Please leave at the door'),
  (5, 'TEA-001', 10, 1680.00, '2024-12-24 17:00:00', NULL);

COMMIT;
