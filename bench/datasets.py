"""Benchmark data sets, generated with a fixed seed (nothing is downloaded)."""

import datetime
import decimal
import random
import string
import uuid

SEED = 20261210

WORDS = ("the of and to in is you that it he was for on are as with his they at be this have from or "
         "one had by word but not what all were we when your can said there use an each which she do "
         "how their if will up other about out many then them these so some her would make like him "
         "into time has look two more write go see number no way could people my than first water").split()
NON_ASCII = "éèàüößçñøåλπσжщ中文日本語한국어😀🎉"


def _text(rng, lo, hi, non_ascii=False):
    n = rng.randint(lo, hi)
    out = []
    size = 0
    while size < n:
        w = rng.choice(WORDS)
        if non_ascii and rng.random() < 0.3:
            w += rng.choice(NON_ASCII)
        out.append(w)
        size += len(w) + 1
    return " ".join(out)[:n]


def api_documents(rng, count=1000):
    """A social-media-API-like response: records of nested dicts with short keys."""
    records = []
    for i in range(count):
        records.append({
            "id": rng.randint(10**15, 10**18),
            "created_at": "2026-%02d-%02dT%02d:%02d:%02dZ" % (
                rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59),
                rng.randint(0, 59)),
            "text": _text(rng, 20, 280, non_ascii=rng.random() < 0.2),
            "lang": rng.choice(["en", "fr", "de", "ja", "es"]),
            "truncated": rng.random() < 0.1,
            "favorited": rng.random() < 0.3,
            "retweet_count": rng.randint(0, 5000),
            "favorite_count": rng.randint(0, 20000),
            "score": rng.random() * 100,
            "coordinates": [rng.uniform(-180, 180), rng.uniform(-90, 90)] if rng.random() < 0.2 else None,
            "user": {
                "id": rng.randint(1, 10**10),
                "name": _text(rng, 5, 20),
                "screen_name": "".join(rng.choice(string.ascii_lowercase) for _ in range(rng.randint(4, 15))),
                "followers_count": rng.randint(0, 10**6),
                "verified": rng.random() < 0.05,
                "location": _text(rng, 3, 30) if rng.random() < 0.6 else None,
                "description": _text(rng, 0, 160),
            },
            "entities": {
                "hashtags": [{"text": rng.choice(WORDS), "indices": [rng.randint(0, 100), rng.randint(100, 140)]}
                             for _ in range(rng.randint(0, 3))],
                "urls": ["https://example.com/" + "".join(rng.choice(string.ascii_letters) for _ in range(8))
                         for _ in range(rng.randint(0, 2))],
            },
        })
    return records


def records(rng, count=2000):
    """Business records: timestamps (UTC and fixed offsets), calendar dates, decimal amounts and UUIDs."""
    zones = [datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=2)),
             datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))]
    base = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
    out = []
    for i in range(count):
        created = base + datetime.timedelta(seconds=rng.randint(0, 10**8),
                                            microseconds=rng.choice((0, rng.randint(0, 999_999))))
        out.append({
            "id": i,
            "key": uuid.UUID(int=rng.getrandbits(128)),
            "created": created,
            "updated": (created + datetime.timedelta(minutes=rng.randint(0, 10**5))).astimezone(rng.choice(zones)),
            "due": datetime.date(2026, rng.randint(1, 12), rng.randint(1, 28)),
            "amount": decimal.Decimal(rng.randint(-10**9, 10**9)).scaleb(-2),
            "rate": decimal.Decimal("%d.%04d" % (rng.randint(0, 20), rng.randint(0, 9999))),
            "status": rng.choice(["open", "paid", "void"]),
        })
    return out


def floats(rng, count=100_000):
    return [rng.uniform(-1e6, 1e6) for _ in range(count)]


def ints(rng, count=100_000):
    out = []
    for _ in range(count):
        bits = rng.choice((4, 8, 16, 32, 63))
        out.append(rng.randint(-(2**bits), 2**bits))
    return out


def texts(rng, count=10_000):
    return [_text(rng, 10, 200, non_ascii=(i % 4 == 0)) for i in range(count)]


def blobs(rng, count=4, size=1 << 20):
    return [rng.randbytes(size) for _ in range(count)]


def deep(levels=1000):
    value = [1]
    for _ in range(levels - 1):
        value = [value]
    return value


def build(quick=False):
    """Returns a list of (name, data, needs_bytes) in report order."""
    rng = random.Random(SEED)
    scale = 10 if quick else 1
    return [
        ("api", api_documents(rng, 1000 // scale), False),
        # its own generator, so that the sets after it stay as they were
        ("records", records(random.Random(SEED + 1), 2000 // scale), False),
        ("floats", floats(rng, 100_000 // scale), False),
        ("ints", ints(rng, 100_000 // scale), False),
        ("text", texts(rng, 10_000 // scale), False),
        ("bytes", blobs(rng, 4 if not quick else 1), True),
        ("deep", deep(1000), False),
    ]
