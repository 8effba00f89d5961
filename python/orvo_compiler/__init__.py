"""orvo_compiler: an ahead-of-time compiler for tile processors.

Build a Graph, compile it with CompilerOptions into a Schedule, and read its
records, command streams, analysis and pictures. Everything is defined by the
extension module orvo_compiler._core and re-exported here; see docs/python.md.
"""

from orvo_compiler._core import *  # noqa: F401,F403
from orvo_compiler._core import __version__  # noqa: F401
