"""What a task carries and what it gets: pieces of a pair source, and blocks of pairs.

A ``Piece`` is small and picklable: it says which pairs (rows of a table, say) and, when the
process that evaluates it cannot read them itself, carries them. Asked for its pairs, it gives
``PairBlock``s: the scenarios once each, and per pair its scenario, its site and the site's
parameters, as a model's entry function takes them.
"""

from dataclasses import dataclass
from typing import Any, Dict, Iterator, Optional, Protocol

import numpy as np

from gmms import models


@dataclass
class PairBlock:
    """(scenario, site) pairs ready for a model.

    ``codes`` number each pair's scenario in order of first appearance; ``scenario_ids`` and
    the arrays of ``values`` (the scenario parameters, and any further scenario columns a
    consumer asked for) follow that numbering. ``site_id`` and the arrays of ``sites`` (the
    site parameters) hold one value per pair. A piece with a fixed set of sites (its
    ``site_ids``) also gives each pair's place in that set as ``site_index``.
    """
    scenario_ids: np.ndarray
    values: Dict[str, np.ndarray]
    codes: np.ndarray
    site_id: np.ndarray
    sites: Dict[str, np.ndarray]
    site_index: Optional[np.ndarray] = None

    def __len__(self):
        return len(self.codes)

    @property
    def scenario_id(self):
        """The scenario id of each pair."""
        return self.scenario_ids[self.codes]

    def subset(self, keep):
        """The pairs selected by ``keep`` (a boolean mask or indices), in their order."""
        return PairBlock(self.scenario_ids, self.values, self.codes[keep], self.site_id[keep],
                         {name: values[keep] for name, values in self.sites.items()},
                         None if self.site_index is None else self.site_index[keep])


class Piece(Protocol):
    """Part of a pair source, as a task carries it."""

    index: int

    def __len__(self) -> int:
        """The number of pairs (for progress accounting)."""

    def where(self) -> str:
        """Where its pairs are, for a message: "pairs from row 1024"."""

    def blocks(self, model: models.Model) -> Iterator[PairBlock]:
        """Its pairs, for ``model``, in the source's order."""


@dataclass(frozen=True)
class Task:
    """One piece of a run and what a process needs to evaluate it: the model, the sibling
    directory, and (for a consumer that writes where the task runs) where its results go."""
    index: int
    piece: Any
    model: str
    siblings: Optional[str] = None
    slot: Any = None

    def __len__(self):
        return len(self.piece)

    def blocks(self):
        return self.piece.blocks(models.resolve(self.model))


def tasks(pieces, model, siblings, slot=None):
    """A task for each piece; ``slot(index)``, when given, says where each one's results go."""
    for piece in pieces:
        yield Task(piece.index, piece, model, siblings,
                   slot(piece.index) if slot is not None else None)
