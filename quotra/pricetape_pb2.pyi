from google.protobuf import descriptor as _descriptor
from google.protobuf import message as _message
from typing import ClassVar as _ClassVar, Optional as _Optional

DESCRIPTOR: _descriptor.FileDescriptor

class PriceTape(_message.Message):
    __slots__ = ("instrument", "exchange_ts_ns", "last_price", "last_quantity", "volume", "bid_price", "bid_size", "ask_price", "ask_size", "open", "high", "low", "close", "open_interest", "sent_at_ns")
    INSTRUMENT_FIELD_NUMBER: _ClassVar[int]
    EXCHANGE_TS_NS_FIELD_NUMBER: _ClassVar[int]
    LAST_PRICE_FIELD_NUMBER: _ClassVar[int]
    LAST_QUANTITY_FIELD_NUMBER: _ClassVar[int]
    VOLUME_FIELD_NUMBER: _ClassVar[int]
    BID_PRICE_FIELD_NUMBER: _ClassVar[int]
    BID_SIZE_FIELD_NUMBER: _ClassVar[int]
    ASK_PRICE_FIELD_NUMBER: _ClassVar[int]
    ASK_SIZE_FIELD_NUMBER: _ClassVar[int]
    OPEN_FIELD_NUMBER: _ClassVar[int]
    HIGH_FIELD_NUMBER: _ClassVar[int]
    LOW_FIELD_NUMBER: _ClassVar[int]
    CLOSE_FIELD_NUMBER: _ClassVar[int]
    OPEN_INTEREST_FIELD_NUMBER: _ClassVar[int]
    SENT_AT_NS_FIELD_NUMBER: _ClassVar[int]
    instrument: str
    exchange_ts_ns: int
    last_price: float
    last_quantity: int
    volume: int
    bid_price: float
    bid_size: int
    ask_price: float
    ask_size: int
    open: float
    high: float
    low: float
    close: float
    open_interest: int
    sent_at_ns: int
    def __init__(self, instrument: _Optional[str] = ..., exchange_ts_ns: _Optional[int] = ..., last_price: _Optional[float] = ..., last_quantity: _Optional[int] = ..., volume: _Optional[int] = ..., bid_price: _Optional[float] = ..., bid_size: _Optional[int] = ..., ask_price: _Optional[float] = ..., ask_size: _Optional[int] = ..., open: _Optional[float] = ..., high: _Optional[float] = ..., low: _Optional[float] = ..., close: _Optional[float] = ..., open_interest: _Optional[int] = ..., sent_at_ns: _Optional[int] = ...) -> None: ...
