# Type stubs of kelvo._edn, the native reader and writer behind kelvo.from_diag and kelvo.diag.

from collections.abc import Callable

class EDNError(ValueError):
    line: int
    column: int
    reason: str

def parse(text: str, seq: bool, max_depth: int, app_hook: Callable[[str, bytes], bytes], /) -> bytes: ...
def diag(data: bytes, widths: bool, pretty: bool, /) -> str: ...
