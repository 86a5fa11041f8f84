"""A quote's identity on the wire: its ``Nats-Msg-Id``.

The id is a 128-bit BLAKE2b digest of the quote's JSON without its last key,
``sent_at_ns`` (the send time differs between the copies of one quote sent to
two bridges): two bridges' copies of one quote share it, two different quotes
never do in practice, and it holds nothing of the instrument's name, whatever
characters that has. The stream drops a second message with an id it holds
inside its duplicate window; past the window the bridge itself compares ids
(``stored``).

Bridges before this form sent ``<instrument>:<exchange_ts_ns>:<crc32 of the
same JSON, 8 hex digits>``. The previous form is still recognised when the
bridge checks what the stream holds, and ``previous_ids_until`` makes a bridge
send it for quotes older than a given exchange time, so that old and new
bridges give every quote one id during a rolling upgrade.
"""

from __future__ import annotations

import hashlib
import zlib

import orjson

__all__ = ["ID_HEADER", "HEADER_LEN", "digest", "previous_id", "ids_of", "id_of"]

ID_HEADER = b"NATS/1.0\r\nNats-Msg-Id: "
# The header block of a quote with an id of the current form: its length is fixed.
HEADER_LEN = len(ID_HEADER) + 32 + 4
_SENT_AT = b',"sent_at_ns":'


def _identity(payload: bytes) -> bytes:
    """The part of a quote's JSON that is the same in every copy of it."""
    cut = payload.rfind(_SENT_AT, len(payload) - 40)
    return payload[:cut] if cut > 0 else payload


def digest(payload: bytes) -> bytes:
    """The current form of the id of a quote encoded as ``payload``."""
    return hashlib.blake2b(_identity(payload), digest_size=16).hexdigest().encode()


def previous_id(instrument: bytes, ts: int, payload: bytes) -> bytes:
    """The id earlier bridges gave the quote: ``<instrument>:<ts>:<crc32>``."""
    return b"%s:%d:%08x" % (instrument, ts, zlib.crc32(_identity(payload)))


def id_of(body: bytes) -> bytes | None:
    """The ``Nats-Msg-Id`` of an encoded command's body; None without one."""
    at = body.find(b"Nats-Msg-Id: ", 0, 120)
    return None if at < 0 else body[at + 13 : body.find(b"\r\n", at)]


def ids_of(body: bytes) -> tuple[bytes, ...]:
    """Every id the stream may hold this quote under: the one it was sent
    with, and its other form (the current one for a quote sent with the
    previous, the previous one otherwise)."""
    sent = id_of(body)
    if sent is None:
        return ()
    start = body.find(b"\r\n\r\n") + 4
    payload = body[start:-2]
    try:
        quote = orjson.loads(payload)
        ts, name = quote["exchange_ts_ns"], quote["instrument"].encode()
    except (ValueError, KeyError, TypeError, AttributeError):
        return (sent,)
    # The previous form has ':' between its parts; the current one is hex digits only.
    other = digest(payload) if b":" in sent else previous_id(name, ts, payload)
    return (sent, other)
