"""The registry's column kinds and models, under the names the catalogue gave them (the
registry, gmms.models, is where they live)."""

from gmms.models import DOUBLE, INT, INT32_MAX, INT32_MIN, MODELS  # noqa: F401
from gmms.models import OBJECT as TEXT  # noqa: F401
from gmms.models import SITES as SITE  # noqa: F401
