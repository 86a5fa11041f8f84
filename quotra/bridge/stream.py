"""The stream the bridge publishes into: the operator's, when there is one.

A stream that exists belongs to whoever made it (replicas, direct get, limits,
a duplicate window chosen for the site): the bridge reads it and never changes
it. It refuses one whose subjects do not take the bridge's quotes, and warns
once where it lacks what acknowledged publishing relies on. A missing stream is
made with the bridge's defaults.
"""

from __future__ import annotations

import logging
from typing import TYPE_CHECKING, Any

from .names import DEFAULT_DUPLICATE_WINDOW, LIVE_PREFIX

if TYPE_CHECKING:
    from nats.js.api import StreamConfig

__all__ = ["StreamError", "ensure_stream", "covers"]

logger = logging.getLogger("quotra.bridge")

# JetStream's error code for "stream name already in use" (a second bridge made it first).
_NAME_IN_USE = 10058
# Answers that say "not now" (no leader, JetStream busy): the next connection tries again.
_UNAVAILABLE = 503
_FOR_NOW = {10008}


class StreamError(RuntimeError):
    """The stream cannot take the bridge's quotes: no use retrying."""


def covers(pattern: str, prefix: str) -> bool:
    """Whether the subject ``pattern`` takes every ``<prefix>.<instrument>``."""
    want = prefix.split(".") + ["*"]
    toks = pattern.split(".")
    for i, tok in enumerate(toks):
        if tok == ">":
            return i < len(want)
        if i >= len(want) or (tok != "*" and (tok != want[i] or want[i] == "*")):
            return False
    return len(toks) == len(want)


def default_config(
    name: str,
    prefix: str,
    *,
    max_per_subject: int,
    max_age: float,
    storage: str,
    republish: bool = False,
    replicas: int = 1,
) -> StreamConfig:
    from nats.js.api import DiscardPolicy, RePublish, StorageType, StreamConfig

    # The live copies cost the server about a quarter of its time per quote:
    # only when the operator asks for them.
    live = RePublish(src=f"{prefix}.>", dest=f"{LIVE_PREFIX}.{prefix}.>") if republish else None
    return StreamConfig(
        name=name,
        subjects=[f"{prefix}.>"],
        max_msgs_per_subject=max_per_subject,
        max_age=max_age,
        storage=StorageType(storage),
        discard=DiscardPolicy.OLD,
        duplicate_window=DEFAULT_DUPLICATE_WINDOW,
        allow_batched=True,
        allow_direct=True,
        republish=live,
        num_replicas=replicas,
    )


async def ensure_stream(
    js: Any, name: str, prefix: str, warned: set[str], clustered: bool = False, **defaults: Any
) -> Any:
    """Make stream ``name`` if it is missing; check it otherwise (StreamError,
    also for a stream the server will not make as asked). ``warned`` keeps the
    warnings already given, so each is given once. The stream's info (its
    configuration: ``allow_batched`` for fast ingest; its state)."""
    from nats.js.errors import APIError, NotFoundError

    try:
        info = await js.stream_info(name)
    except NotFoundError:
        try:
            info = await js.add_stream(default_config(name, prefix, **defaults))
        except APIError as exc:
            if exc.err_code == _NAME_IN_USE:
                info = await js.stream_info(name)
            elif exc.code == _UNAVAILABLE or exc.err_code in _FOR_NOW:
                raise  # a cluster without a leader for now: tried again
            else:
                raise StreamError(
                    f"the NATS server refused to make stream {name} over {prefix}.>: "
                    f"{exc.err_code} {exc.description}"
                ) from None
        else:
            replicas = defaults.get("replicas", 1)
            if clustered and replicas == 1 and "replicas" not in warned:
                warned.add("replicas")
                logger.warning(
                    "NATS: stream %s made with 1 replica on a cluster: its quotes are on one "
                    "node, lost or unreachable with it; make it with --replicas 3 (or have "
                    "the operator make it)",
                    name,
                )
            live = (
                f"live copies on {LIVE_PREFIX}.{prefix}.>"
                if defaults.get("republish")
                else "no live copies"
            )
            logger.info(
                "NATS: stream %s created over %s.> (duplicate window %g s, %s)",
                name,
                prefix,
                DEFAULT_DUPLICATE_WINDOW,
                live,
            )
            # A server before batched publishing ignores the option: its answer says.
            return info
    subjects = list(info.config.subjects or ())
    if not any(covers(s, prefix) for s in subjects):
        raise StreamError(
            f"stream {name} captures {', '.join(subjects) or 'no subjects'}, not {prefix}.>: "
            f"the bridge's quotes would not be stored; add {prefix}.> to its subjects "
            f"or give the bridge another --stream or --subject-prefix"
        )
    if not info.config.duplicate_window and "window" not in warned:
        warned.add("window")
        logger.warning(
            "NATS: stream %s has no duplicate window: quotes sent again after a lost "
            "connection may be stored twice (the bridge's default is %g s)",
            name,
            DEFAULT_DUPLICATE_WINDOW,
        )
    if not info.config.allow_batched and "batched" not in warned:
        warned.add("batched")
        logger.warning(
            "NATS: stream %s does not allow batched publishing: the stream acknowledges each "
            "quote on its own, which costs the server more",
            name,
        )
    if defaults.get("republish") and not info.config.republish and "republish" not in warned:
        warned.add("republish")
        logger.warning(
            "NATS: stream %s exists and does not republish: --republish is used only when "
            "the bridge makes the stream; nothing goes to %s.%s.>",
            name,
            LIVE_PREFIX,
            prefix,
        )
    return info
