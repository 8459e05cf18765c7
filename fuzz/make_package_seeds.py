#!/usr/bin/env python3
"""Writes the package reader's seed corpus: packages shaped against the
reader and the rewrite (unclosed img tags, many distinct images, many tiny
rows, URLs of equal StringHash, a long URL followed by many "http://"),
small enough for the fuzzer to mutate.

Each seed takes the target's odd form: one odd byte, then the package text
in the core's form (GBK here), which the target writes out as the listing
tool would.  Usage: fuzz/make_package_seeds.py [DIR]"""
import os
import sys

HEADER = "version 1.00\r\n宝贝名称\t宝贝描述\t无线详情\r\n"


def row(title, description, mobile=""):
    quote = lambda text: '"' + text.replace('"', '""') + '"'
    return quote(title) + "\t" + quote(description) + "\t" + quote(mobile) + "\r\n"


def equal_hash_urls(blocks):
    for i in range(1 << blocks):
        yield "//h/" + "".join("Aa" if (i >> b) & 1 else "BB" for b in range(blocks))


SEEDS = {
    "unclosed-img": row("t", "<img " * 400),
    "unclosed-img-src": row("t", '<img src="' * 300 + "<img  src" * 300),
    "long-near-matches": row("t", '<img src="http://host/%s">' % ("h" * 2000) + "http://" * 300,
                             "<img>http://host/%s</img>" % ("h" * 2000)),
    "distinct-images": row("t", "".join('<img src="//h.example.com/%d">' % i for i in range(400))),
    "tiny-rows": "".join(row("t%d" % i, "") for i in range(400)) + row("t", "", "") * 400,
    "mobile-unclosed": row("t", "", "<img>//a" * 300 + "<img " * 300),
    "equal-string-hash": row("t", "".join('<img src="%s">' % url for url in equal_hash_urls(8)),
                             "".join("<img>%s</img>" % url for url in equal_hash_urls(6))),
}

folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "package_reader")
os.makedirs(folder, exist_ok=True)
for name, rows in SEEDS.items():
    with open(os.path.join(folder, name), "wb") as seed:
        seed.write(b"\x01" + (HEADER + rows).encode("gbk"))
