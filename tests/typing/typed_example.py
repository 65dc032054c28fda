"""The typed API as a user writes it, checked by mypy --strict (tests/test_typing.py).

Lines marked ``type: ignore[...]`` are mistakes the stubs must catch (mypy runs with
--warn-unused-ignores).
"""

from __future__ import annotations

import dataclasses
import io
from typing import Annotated, Any, Optional

import kelvo


@kelvo.cbor_class(rename="camel", omit_defaults=True)
@dataclasses.dataclass
class Order:
    order_id: Annotated[int, kelvo.key(1)]
    note: str = ""


@kelvo.cbor_class
@dataclasses.dataclass
class Plain:
    n: int


data = kelvo.encode([Order(1)])
orders: list[Order] = kelvo.decode(data, type=list[Order])
first: Order = kelvo.Decoder(list[Order]).decode(data)[0]
wrong: int = kelvo.decode(data, type=list[Order])  # type: ignore[assignment]
maybe: Order | None = kelvo.decode(kelvo.encode(None), type=Order | None)
optional: Order | None = kelvo.decode(kelvo.encode(None), type=Optional[Order])  # noqa: UP045
anything: Any = kelvo.decode(data, max_depth=10)
from_file: list[Order] = kelvo.decode_from(io.BytesIO(data), type=list[Order])
raw = kelvo.decode(data, type=kelvo.Raw)
size: int = len(raw)
kelvo.encode_to(Plain(1), io.BytesIO(), canonical=True)
encoder = kelvo.Encoder(canonical=True)
out: bytes = encoder.encode(Plain(2))
kelvo.encode(Plain(3), canonical="yes")  # type: ignore[arg-type]
try:
    kelvo.decode(b"\x01", type=str)
except kelvo.ValidationError as exc:
    where: str = exc.path
    offset: int | None = exc.offset
