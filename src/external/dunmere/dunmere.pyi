# Types of zelmar.external.dunmere, a compiled module: its members, their signatures and
# what they return, for editors and type checkers.
# The module's __all__ names its one public class; the names it imports are not exported.
from io import BytesIO
from typing import Any, Literal, Optional, Union, overload

from zelmar.core import File
from zelmar.external.external_program import ExternalProgram, _JobContent

__all__ = ["DunmereAnalysis"]
__test__: dict[str, Any]

class DunmereAnalysis(ExternalProgram):
    """Performs an analysis using Dunmere on a third-party worker."""

    input_file: Union[BytesIO, File]
    def __init__(self, input_file: Union[BytesIO, File]) -> None: ...
    def _handle_execution_error(self, message: str) -> None: ...
    def _generate_job_content(self) -> _JobContent: ...
    # The stream, or with as_file a File, of the result file with that extension; None
    # when the run wrote none.
    @overload
    def get_output_file(self, extension: str = ".sto", *, as_file: Literal[False] = False) -> Optional[BytesIO]: ...
    @overload
    def get_output_file(self, extension: str = ".sto", *, as_file: Literal[True]) -> Optional[File]: ...
    @overload
    def get_output_file(self, extension: str = ".sto", *, as_file: bool = False) -> Optional[Union[BytesIO, File]]: ...
