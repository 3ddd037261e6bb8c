"""Colours: (r, g, b) triples, #RRGGBB / #RGB texts and the command-line tool's colour names."""
from __future__ import annotations

import functools
from typing import Mapping, NamedTuple, Sequence, Tuple, Union


class Color(NamedTuple):
    """An LED colour, each intensity 0 to 255. Equal to the plain tuple (r, g, b)."""

    r: int
    g: int
    b: int

    @property
    def hex(self) -> str:
        """The colour as #RRGGBB."""
        return f"#{self.r:02X}{self.g:02X}{self.b:02X}"

    def scaled(self, factor: float) -> "Color":
        """The colour dimmed (factor below 1) or brightened, kept within 0 to 255."""
        return Color(*(min(255, max(0, int(c * factor))) for c in self))

    @classmethod
    def parse(cls, value: "ColorLike") -> "Color":
        """A colour from (r, g, b), '#RRGGBB', '#RGB' or a name such as 'red' or 'warmwhite'."""
        return parse_color(value)


# LED intensities rather than web colours: "green" is the full green channel. The same names as
# veltari-cli accepts.
COLOR_NAMES: Mapping[str, Color] = {
    "off": Color(0, 0, 0), "black": Color(0, 0, 0), "white": Color(255, 255, 255),
    "red": Color(255, 0, 0), "green": Color(0, 255, 0), "blue": Color(0, 0, 255),
    "yellow": Color(255, 255, 0), "cyan": Color(0, 255, 255), "magenta": Color(255, 0, 255),
    "orange": Color(255, 128, 0), "purple": Color(128, 0, 255), "pink": Color(255, 64, 160),
    "teal": Color(0, 128, 128), "gray": Color(128, 128, 128), "grey": Color(128, 128, 128),
    "warmwhite": Color(255, 180, 100),
}

ColorLike = Union[Color, Tuple[int, int, int], Sequence[int], str]


def parse_color(value: ColorLike) -> Color:
    """Turns any accepted colour form into a Color. Raises ValueError for text that names no colour and
    for intensities outside 0 to 255, TypeError for anything else."""
    if isinstance(value, str):
        return _parse_text(value)
    try:
        r, g, b = value
    except (TypeError, ValueError):
        raise TypeError(f"{value!r} is not a colour: give (r, g, b), #RRGGBB, #RGB or a name") from None
    for c in (r, g, b):
        if not isinstance(c, int) or isinstance(c, bool):
            raise TypeError(f"{value!r} is not a colour: intensities are integers")
        if not 0 <= c <= 255:
            raise ValueError(f"{value!r} is not a colour: intensities run from 0 to 255")
    return Color(r, g, b)


# Frames tend to repeat a few texts many times.
@functools.lru_cache(maxsize=4096)
def _parse_text(value: str) -> Color:
    text = value.strip()
    if text.startswith("#"):
        digits = text[1:]
        if len(digits) in (3, 6) and all(c in "0123456789abcdefABCDEF" for c in digits):
            if len(digits) == 3:
                return Color(*(int(c, 16) * 17 for c in digits))
            return Color(int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16))
    else:
        named = COLOR_NAMES.get(text.lower())
        if named is not None:
            return named
    raise ValueError(f"{value!r} is not a colour: give (r, g, b), #RRGGBB, #RGB or one of "
                     + ", ".join(COLOR_NAMES))
