"""The recorder's figure of what it took but has not yet made durable: the
age of the oldest quote not in a finished file, which an alert watches (a
file that never finishes must show, however many newer files open and roll)."""

import time

from quotra.pricetape_proto import message_to_dict
from quotra.record.writer import DatasetWriter
from quotra.service.market import Market

GAP = 0.3  # seconds between the first quotes of ABC and of XYZ


def test_the_oldest_pending_age_is_the_oldest_unfinished_files(tmp_path):
    market = Market(5)
    w = DatasetWriter(str(tmp_path), roll_rows=2, roll_seconds=3600)
    assert w.oldest_pending_age is None
    w.add(message_to_dict(market.quote("ABC")))
    time.sleep(GAP)
    w.add(message_to_dict(market.quote("XYZ")))
    # (the quotes just added, then) -> the age's bounds: ABC's file, then XYZ's,
    # then none once each file has its rows and is in place.
    steps = [((), GAP, 60.0), (("ABC",), 0.0, GAP), (("XYZ",), None, None)]
    for added, low, high in steps:
        for name in added:
            w.add(message_to_dict(market.quote(name)))
        w.collect(block=True)
        age = w.oldest_pending_age
        if low is None:
            assert age is None, added
        else:
            assert age is not None and low <= age < high, (added, age)
    w.close()
    assert w.recorded == 4
