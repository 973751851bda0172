# The classes live in the extension module beside this file; the package
# re-exports them unchanged (names, order, the empty docstring), so that
# pure-Python parts such as kovra_vector_db.distributed can sit next to it and
# load only when asked for: `import kovra_vector_db` needs nothing but the
# extension.

from . import kovra_vector_db as _extension
from .kovra_vector_db import *  # noqa: F401,F403

__all__ = list(_extension.__all__)
__doc__ = _extension.__doc__
