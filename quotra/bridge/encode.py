"""Quotes into ``HPUB`` commands, as a part of ``Bridge``.

Each quote becomes ``(head, body)``: ``head`` is ``HPUB <prefix>.<instrument> ``
and the command is ``head + reply + body``, the body holding the sizes, the
``Nats-Msg-Id`` header (``msgid``) and the JSON. Quotes that cannot be
published (an instrument that is no subject token or that the server denies
the bridge, a value JSON cannot hold) are counted ``refused`` here.
"""

from __future__ import annotations

import collections
import hashlib
import logging
import time
from typing import TYPE_CHECKING, Any

import orjson

from .acks import LOG_EVERY
from .by_instrument import instrument_of
from .msgid import HEADER_LEN, previous_id
from .names import check_instrument

logger = logging.getLogger("quotra.bridge")

_NO_ID = b"NATS/1.0\r\n\r\n"  # 12 bytes
_SENT_AT = b',"sent_at_ns":'
Entry = tuple[bytes, bytes]


class Encoding:
    """Encoding and refusing, as a part of ``Bridge``."""

    subject_prefix: str
    refused: int
    previous_ids_until: int
    _heads: dict[str, tuple[bytes | None, bytes]]
    _denied: set[str]
    _refused_by: collections.Counter[str]
    _unpublished_by: collections.Counter[str]
    _encode_log_at: float
    _inflight: dict[int, Entry]
    _retry: collections.deque[Entry]
    _later: list[tuple[float, Entry]]

    def _head(self, instrument: Any) -> tuple[bytes | None, bytes]:
        try:
            name = check_instrument(instrument).encode()
            got: tuple[bytes | None, bytes] = (
                b"HPUB %s.%s " % (self.subject_prefix.encode(), name),
                name,
            )
        except (TypeError, ValueError) as exc:
            logger.error("quotes of %r are not published: %s", instrument, exc)
            got = (None, b"")
        if isinstance(instrument, str):
            self._heads[instrument] = got
        return got

    def _encode(self, batch: list[Any]) -> list[Entry]:
        """``(head, body)`` of each quote of ``batch`` that can be published."""
        out: list[Entry] = []
        add = out.append
        heads = self._heads
        dumps = orjson.dumps
        blake2b = hashlib.blake2b
        until = self.previous_ids_until
        refused = 0
        for quote in batch:
            try:
                head, name = heads[quote["instrument"]]
            except (KeyError, TypeError):
                head, name = self._head(
                    quote.get("instrument") if isinstance(quote, dict) else None
                )
            if head is None:
                refused += 1
                inst = instrument_of(quote)
                self._unpublished_by[inst] += 1
                if inst in self._denied:
                    self._refused_by[inst] += 1
                continue
            try:
                payload = dumps(quote)
            except TypeError as exc:  # a value or key JSON cannot hold: this quote only
                self._unencodable(quote, exc)
                continue
            ts = quote.get("exchange_ts_ns")
            # Without a time there is no identity: published without an id, never de-duplicated.
            if type(ts) is int and ts > 0:
                if ts < until:
                    add((head, _previous_form(name, ts, payload)))
                    continue
                # The digest leaves out the last key, the send time, which differs
                # between the copies of one quote sent to two bridges.
                cut = payload.rfind(_SENT_AT, len(payload) - 40)
                add(
                    (
                        head,
                        b"%d %d\r\nNATS/1.0\r\nNats-Msg-Id: %s\r\n\r\n%s\r\n"
                        % (
                            HEADER_LEN,
                            HEADER_LEN + len(payload),
                            blake2b(payload[:cut] if cut > 0 else payload, digest_size=16)
                            .hexdigest()
                            .encode(),
                            payload,
                        ),
                    )
                )
            else:
                add((head, b"12 %d\r\n%s%s\r\n" % (12 + len(payload), _NO_ID, payload)))
        self.refused += refused
        return out

    def _unencodable(self, quote: dict[str, Any], exc: Exception) -> None:
        self.refused += 1
        self._unpublished_by[instrument_of(quote)] += 1
        now = time.monotonic()
        if now >= self._encode_log_at:
            self._encode_log_at = now + LOG_EVERY
            logger.error(
                "a quote of %r is not published: it cannot be encoded as JSON (%s); "
                "%d refused in all",
                quote.get("instrument"),
                exc,
                self.refused,
            )

    def _on_denied(self, subject: bytes) -> None:
        """The server refused a publish to ``subject`` (permissions): that
        instrument's quotes are refused from now on, those sent and waiting
        included; the others go on."""
        prefix = self.subject_prefix.encode() + b"."
        if not subject.startswith(prefix):
            logger.error("NATS server refused a publish to %s", subject.decode(errors="replace"))
            return
        name = subject[len(prefix) :].decode(errors="replace")
        if name in self._denied:
            return
        self._denied.add(name)
        self._heads[name] = (None, b"")
        head = b"HPUB %s " % subject
        inflight = self._inflight
        gone = [t for t, entry in inflight.items() if entry[0] == head]
        for t in gone:
            del inflight[t]
        kept = [entry for entry in self._retry if entry[0] != head]
        n = len(gone) + len(self._retry) - len(kept)
        self._retry.clear()  # in place: the writer holds it
        self._retry.extend(kept)
        later = [item for item in self._later if item[1][0] != head]
        n += len(self._later) - len(later)
        self._later[:] = later
        self.refused += n
        self._refused_by[name] += n
        self._unpublished_by[name] += n
        logger.error(
            "NATS server does not let the bridge publish to %s (permissions violation): "
            "quotes of %s are counted refused from now on; the other instruments go on",
            subject.decode(errors="replace"),
            name,
        )
        self._wake_writer()

    if TYPE_CHECKING:

        def _wake_writer(self) -> None: ...


def _previous_form(name: bytes, ts: int, payload: bytes) -> bytes:
    header = b"NATS/1.0\r\nNats-Msg-Id: %s\r\n\r\n" % previous_id(name, ts, payload)
    return b"%d %d\r\n%s%s\r\n" % (len(header), len(header) + len(payload), header, payload)
