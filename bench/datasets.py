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
    for _ in range(count):
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


def _user(rng, i):
    """A user object as the status API embeds it: many flat fields, a few nested ones."""
    name = _text(rng, 5, 20, non_ascii=rng.random() < 0.3)
    screen = "".join(rng.choice(string.ascii_lowercase + "_0123456789") for _ in range(rng.randint(4, 15)))
    color = lambda: "".join(rng.choice("0123456789ABCDEF") for _ in range(6))  # noqa: E731
    url = "https://t.co/" + "".join(rng.choice(string.ascii_letters) for _ in range(10))
    return {
        "id": rng.randint(10**8, 10**10),
        "id_str": str(rng.randint(10**8, 10**10)),
        "name": name,
        "screen_name": screen,
        "location": _text(rng, 0, 30, non_ascii=rng.random() < 0.2),
        "description": _text(rng, 0, 160, non_ascii=rng.random() < 0.3),
        "url": url if rng.random() < 0.5 else None,
        "entities": {
            "url": {"urls": [{"url": url, "expanded_url": "http://example.org/" + screen,
                              "display_url": "example.org/" + screen, "indices": [0, 22]}]},
            "description": {"urls": []},
        },
        "protected": False,
        "followers_count": rng.randint(0, 10**6),
        "friends_count": rng.randint(0, 10**4),
        "listed_count": rng.randint(0, 10**3),
        "created_at": "Mon Aug %02d %02d:%02d:%02d +0000 2011" % (
            rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)),
        "favourites_count": rng.randint(0, 10**5),
        "utc_offset": rng.choice([None, 32400, -18000, 3600]),
        "time_zone": rng.choice([None, "Tokyo", "Irkutsk", "Hawaii", "Amsterdam"]),
        "geo_enabled": rng.random() < 0.3,
        "verified": rng.random() < 0.05,
        "statuses_count": rng.randint(0, 10**5),
        "lang": rng.choice(["ja", "en", "es", "fr"]),
        "contributors_enabled": False,
        "is_translator": False,
        "is_translation_enabled": False,
        "profile_background_color": color(),
        "profile_background_image_url": "http://abs.example.com/images/themes/theme%d/bg.png" % rng.randint(1, 20),
        "profile_background_image_url_https": "https://abs.example.com/images/themes/theme%d/bg.png" % i,
        "profile_background_tile": rng.random() < 0.5,
        "profile_image_url": ("http://pbs.example.com/profile_images/%d/%s_normal.jpeg"
                              % (rng.randint(1, 10**9), screen)),
        "profile_image_url_https": ("https://pbs.example.com/profile_images/%d/%s_normal.jpeg"
                                    % (rng.randint(1, 10**9), screen)),
        "profile_banner_url": ("https://pbs.example.com/profile_banners/%d/%d"
                               % (rng.randint(1, 10**9), rng.randint(1, 10**9))),
        "profile_link_color": color(),
        "profile_sidebar_border_color": color(),
        "profile_sidebar_fill_color": color(),
        "profile_text_color": color(),
        "profile_use_background_image": rng.random() < 0.8,
        "default_profile": rng.random() < 0.4,
        "default_profile_image": False,
        "following": False,
        "follow_request_sent": False,
        "notifications": False,
    }


def _status(rng, i, nested=True):
    user = _user(rng, i)
    status = {
        "metadata": {"result_type": "recent", "iso_language_code": rng.choice(["ja", "en", "es"])},
        "created_at": "Sun Aug %02d %02d:%02d:%02d +0000 2014" % (
            rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)),
        "id": rng.randint(10**17, 10**18),
        "id_str": str(rng.randint(10**17, 10**18)),
        "text": _text(rng, 20, 140, non_ascii=rng.random() < 0.5),
        "source": '<a href="http://example.com/app" rel="nofollow">client %d</a>' % rng.randint(1, 30),
        "truncated": False,
        "in_reply_to_status_id": None,
        "in_reply_to_status_id_str": None,
        "in_reply_to_user_id": None,
        "in_reply_to_user_id_str": None,
        "in_reply_to_screen_name": None,
        "user": user,
        "geo": None,
        "coordinates": None,
        "place": None,
        "contributors": None,
        "retweet_count": rng.randint(0, 10**4),
        "favorite_count": rng.randint(0, 10**4),
        "entities": {
            "hashtags": [{"text": rng.choice(WORDS), "indices": [rng.randint(0, 70), rng.randint(70, 140)]}
                         for _ in range(rng.randint(0, 2))],
            "symbols": [],
            "urls": [],
            "user_mentions": [{"screen_name": rng.choice(WORDS), "name": _text(rng, 4, 16),
                               "id": rng.randint(10**8, 10**10), "id_str": str(rng.randint(10**8, 10**10)),
                               "indices": [3, rng.randint(8, 20)]} for _ in range(rng.randint(0, 2))],
        },
        "favorited": False,
        "retweeted": False,
        "lang": user["lang"],
    }
    if nested and rng.random() < 0.3:
        status["retweeted_status"] = _status(rng, i, nested=False)
    return status


def twitter_document(rng, count=166):
    """A search response shaped like the well-known twitter.json sample (about 600 KB as JSON)."""
    return {
        "statuses": [_status(rng, i) for i in range(count)],
        "search_metadata": {
            "completed_in": 0.087, "max_id": 505874924095815681, "max_id_str": "505874924095815681",
            "next_results": "?max_id=505874847260352512&q=%E4%B8%80&count=100&include_entities=1",
            "query": "%E4%B8%80", "refresh_url": "?since_id=505874924095815681&q=%E4%B8%80&include_entities=1",
            "count": count, "since_id": 0, "since_id_str": "0",
        },
    }


def records(rng, count=2000):
    """Business records: timestamps (UTC and fixed offsets), calendar dates, decimal amounts and UUIDs."""
    zones = [datetime.UTC, datetime.timezone(datetime.timedelta(hours=2)),
             datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))]
    base = datetime.datetime(2026, 1, 1, tzinfo=datetime.UTC)
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


def short_texts(rng, count=100_000):
    """Short texts of 4 to 40 characters, one in four with non-ASCII characters."""
    out = []
    for i in range(count):
        n = rng.randint(4, 40)
        text = (_text(rng, n, n + 8) + " " + rng.choice(WORDS))[:n]
        if i % 4 == 0:
            at = rng.randrange(n)
            text = text[:at] + rng.choice(NON_ASCII) + text[at + 1:]
        out.append(text)
    return out


def blobs(rng, count=4, size=1 << 20):
    return [rng.randbytes(size) for _ in range(count)]


def deep(levels=1000):
    """Arrays nested `levels` deep (decoders need their nesting limit raised for it)."""
    value = [1]
    for _ in range(levels - 1):
        value = [value]
    return value


def build(quick=False, only=None):
    """Returns a list of (name, data, needs_bytes) in report order; `only` names a subset."""
    rng = random.Random(SEED)
    scale = 10 if quick else 1
    makers = [
        ("api", lambda: api_documents(rng, 1000 // scale), False, True),
        # Its own generator, so that the sets after it keep their data.
        ("twitter", lambda: twitter_document(random.Random(SEED + 1), 166 // scale), False, False),
        ("records", lambda: records(random.Random(SEED + 1), 2000 // scale), False, False),
        ("floats", lambda: floats(rng, 100_000 // scale), False, True),
        ("ints", lambda: ints(rng, 100_000 // scale), False, True),
        ("text", lambda: texts(rng, 10_000 // scale), False, True),
        ("bytes", lambda: blobs(rng, 4 if not quick else 1), True, True),
        ("short", lambda: short_texts(random.Random(SEED + 2), 100_000 // scale), False, False),
        ("deep", lambda: deep(1000), False, False),
    ]
    if only is not None:
        unknown = set(only) - {m[0] for m in makers}
        if unknown:
            raise SystemExit(f"unknown data sets: {', '.join(sorted(unknown))}")
    out = []
    # The sets that share the generator are made in turn up to the last one wanted, so
    # that a subset has the same data as a full run.
    last = max((i for i, m in enumerate(makers) if m[3] and (only is None or m[0] in only)), default=-1)
    for i, (name, make, needs_bytes, shared_rng) in enumerate(makers):
        wanted = only is None or name in only
        if wanted or (shared_rng and i < last):
            data = make()
            if wanted:
                out.append((name, data, needs_bytes))
    return out
