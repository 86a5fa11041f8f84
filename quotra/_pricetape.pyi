# Price message types decoded natively from the protobuf wire format
# (quotra/native/); quotra.pricetape_proto chooses between them
# and its wrapper class.
from collections.abc import Callable
from typing import Any

def message_type(
    name: str, proto_class: type, unpickle: Callable[[type, bytes], Any], direct: bool = ..., /
) -> type: ...
def _quote_message(payload: bytes, /) -> bytes | None: ...
def _profile_steps(msg: Any, payloads: list[bytes], steps: int, /) -> None: ...
