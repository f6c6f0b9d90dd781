"""Evaluating one task of a catalogue: the code that runs on Dask workers (and, serially, in the
client).

The task's piece gives its pairs (read from the files where the task runs, when it can, else
carried along); the model is evaluated over them (gmms.pairs.evaluate), and the results, median
included, become the task's part file, or go back to the client when the task runs where it
cannot write.
"""

from typing import NamedTuple, Optional

import numpy as np

from gmms.pairs.evaluate import evaluate_block, load_entry

from .parts import Columns, columns_of, place, write_part


class Slot(NamedTuple):
    """Where a task's results go: a part file in ``file_format`` in ``directory`` and, given a
    ``placement``, their slots of the file being assembled too."""
    directory: str
    file_format: str
    placement: Optional[tuple] = None


def evaluate_part(task):
    """Evaluate a task and write its part file (returning the Part), or, with no slot to write
    to, return its output columns. Either way the median is computed here."""
    load_entry(task.model, task.siblings)
    results = [(block.scenario_id, block.site_id,
                evaluate_block(task.model, task.siblings, block)) for block in task.blocks()]
    if len(results) == 1:
        scenario_id, site_id, values = results[0]
    elif results:
        scenario_id, site_id, values = (np.concatenate(parts, axis=-1)
                                        for parts in zip(*results))
    else:
        scenario_id, site_id, values = np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((3, 0))
    columns = columns_of(scenario_id, site_id, values)
    slot = task.slot
    if slot is None:
        return Columns(task.index, columns)
    part = write_part(slot.directory, task.index, columns, slot.file_format)
    if slot.placement is not None:
        place(columns, slot.placement)
        part.placed = True
    return part
