"""Time texts: UTC as 2024-01-01T00:00:00Z, local time as the service wrote it in ISO 8601."""

from datetime import datetime, timedelta, timezone

import numpy

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def utc_datetime(utc):
    return EPOCH + timedelta(seconds=int(utc))


def utc_text(utc):
    return utc_datetime(utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def local_text(utc, offset):
    """The local time the service wrote, with its offset (minutes), in ISO 8601."""
    return utc_datetime(utc).astimezone(timezone(timedelta(minutes=int(offset)))).isoformat()


def moment(utc_and_offset):
    """The --json form of a (utc, offset) pair."""
    utc, offset = utc_and_offset
    return {"utc": utc_text(utc), "local": local_text(utc, offset)}


def _offset_texts(offset):
    """+hh:mm per offset, formatted once per distinct offset."""
    distinct, inverse = numpy.unique(offset, return_inverse=True)
    texts = numpy.array([("-" if o < 0 else "+") + "%02d:%02d" % divmod(abs(int(o)), 60) for o in distinct], "S6")
    return texts[inverse]


def utc_texts(utc):
    """utc_text of every element, as a uint8 matrix of 20 columns."""
    stamps = numpy.datetime_as_string(utc.astype("datetime64[s]")).astype("S19")
    return numpy.frombuffer(numpy.char.add(stamps, b"Z").tobytes(), numpy.uint8).reshape(-1, 20)


def local_texts(utc, offset):
    """local_text of every element, as a uint8 matrix of 25 columns."""
    local = (utc + offset.astype(numpy.int64) * 60).astype("datetime64[s]")
    texts = numpy.char.add(numpy.datetime_as_string(local).astype("S19"), _offset_texts(offset))
    return numpy.frombuffer(texts.astype("S25").tobytes(), numpy.uint8).reshape(-1, 25)
