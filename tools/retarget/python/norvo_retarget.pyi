"""Retargets motion between character rigs: BVH, glTF, GLB, VRM, VRM animation and FBX files, or numpy arrays.

A matrix M is 4x4 with its translation in M[:3, 3]; a motion's globals are
globals[f, j] = globals[f, parents[j]] @ locals[f, j].
"""
import os
from typing import Any, Optional, Sequence, Union

import numpy
import numpy.typing

__version__: str

_Path = Union[str, os.PathLike[str]]
_Array = numpy.typing.NDArray[numpy.float64]

class Error(Exception):
    """A failure of the tool; its text is the command line's message."""
    file: Optional[str]
    line: Optional[int]
    exit_code: int

class InputError(Error):
    """A file that no reader accepts: malformed, or not what it should be."""

class UsageError(Error, ValueError):
    """An option that makes no sense, as the command line's usage errors."""

class FileError(Error, OSError):
    """A file that cannot be read or written."""

class RetargetWarning(UserWarning):
    """What the command line prints as a warning."""

class Motion:
    """A skeleton's motion: per frame, one local 4x4 matrix per joint (End Sites are not joints)."""
    def __init__(
        self,
        joint_names: Sequence[str],
        parents: Sequence[int],
        rest: numpy.typing.ArrayLike,
        locals: Optional[numpy.typing.ArrayLike] = None,
        frame_time: float = 1.0 / 30.0,
    ) -> None: ...
    @property
    def joint_names(self) -> list[str]: ...
    @property
    def parents(self) -> list[int]: ...
    @property
    def frame_time(self) -> float: ...
    @property
    def frame_count(self) -> int: ...
    @property
    def rest(self) -> _Array:
        """joints x 4 x 4, read-only."""
    @property
    def locals(self) -> _Array:
        """frames x joints x 4 x 4, read-only."""
    @property
    def globals(self) -> _Array:
        """frames x joints x 4 x 4, read-only."""
    def save(self, path: _Path, *, preset: str = "") -> None: ...

class Result:
    """What retargeting a clip gives."""
    @property
    def motion(self) -> Optional[Motion]: ...
    @property
    def statistics(self) -> dict[str, Any]: ...
    @property
    def figures(self) -> dict[str, Any]: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def report(self) -> dict[str, Any]: ...
    @property
    def first_frame(self) -> int: ...
    @property
    def last_frame(self) -> int: ...
    @property
    def seconds(self) -> float: ...

def load_motion(path: _Path, *, skin: int = -1, animation: str = "", fps: float = 0.0) -> Motion: ...
def retarget(
    source: Union[_Path, Motion],
    target: Union[_Path, Motion],
    output: Optional[_Path] = None,
    *,
    figures: bool = True,
    preset: Optional[str] = None,
    source_preset: Optional[str] = None,
    frames: Optional[str] = None,
    translation_scale: Union[str, float, None] = None,
    no_root_translation: bool = False,
    source_rig: Optional[_Path] = None,
    no_align: bool = False,
    spread_chains: Union[str, Sequence[str], None] = None,
    round_trip: bool = False,
    lock_feet: bool = False,
    no_contacts: bool = False,
    floor: Optional[float] = None,
    root_motion: Optional[str] = None,
    lock_axis: Optional[str] = None,
    in_place: bool = False,
    skin: Optional[int] = None,
    animation: Union[str, int, None] = None,
    fps: Optional[float] = None,
    report: Optional[_Path] = None,
    svg: Optional[_Path] = None,
    html: Optional[_Path] = None,
    save_rig: Optional[_Path] = None,
) -> Result: ...

def options() -> list[dict[str, Any]]:
    """The options retarget(), batch() and Retargeter take, as the command line's help lists them."""

def batch(
    folder: _Path,
    target: _Path,
    output_folder: _Path,
    *,
    figures: bool = True,
    recursive: bool = False,
    shard: Union[str, tuple[int, int], None] = None,
    manifest: Optional[_Path] = None,
    resume: bool = False,
    jobs: int = 0,
    **options: Any,
) -> dict[str, Any]:
    """Every clip of a folder onto `target`, as the command line's --batch; options as retarget()'s."""

class Retargeter:
    """A source rig paired with a target rig, for many clips or for frames streamed one by one."""
    def __init__(self, source_rig: Union[_Path, Motion], target_rig: Union[_Path, Motion], **options: Any) -> None: ...
    def retarget(self, motion: Motion) -> Motion: ...
    def frame(self, locals: numpy.typing.ArrayLike) -> _Array: ...
    @property
    def source(self) -> Motion:
        """The source rig's skeleton at rest, one frame."""
    @property
    def target(self) -> Motion:
        """The target rig's skeleton at rest, one frame."""
