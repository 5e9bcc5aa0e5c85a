"""The long table: one line per sample of every series."""

import pandas

from .components import component_name
from .timeline import local_text, steps, utc_text

COLUMNS = ("machine", "log", "time_utc", "time_local", "position", "component_id", "component",
           "reading0", "reading1", "interval_s", "delta0", "delta1")


def long_table(timeline):
    records = []
    for series in timeline.series:
        name = component_name(series.component_id)
        previous = [None] + steps(series)
        for sample, step in zip(series.samples, previous):
            records.append((series.machine, series.log, utc_text(sample), local_text(sample),
                            series.position, "%02x" % series.component_id, name,
                            sample.reading0, sample.reading1,
                            step.seconds if step else None,
                            step.delta0 if step else None, step.delta1 if step else None))
    # Object columns keep readings and deltas exact ints: pandas would turn a column
    # of ints with gaps into floats, and readings above 2**63 do not fit int64.
    columns = zip(*records) if records else [()] * len(COLUMNS)
    return pandas.DataFrame({name: pandas.Series(values, dtype=object)
                             for name, values in zip(COLUMNS, columns)})


def write_long(timeline, out):
    long_table(timeline).to_csv(out, index=False, lineterminator="\n")
