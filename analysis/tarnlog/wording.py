"""How counts and rates read, alike in the text summary and in the report."""

import math


def plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def rate_text(rate):
    """A rate per second to four significant digits (--json carries it whole); '-' where there is none."""
    return "-" if rate is None or math.isnan(rate) else "%.4g" % rate
