"""The error a chain that cannot be used at all raises."""

from __future__ import annotations

__all__ = ["ChainError"]


class ChainError(Exception):
    """A chain, a rate curve or an option that cannot be used at all (a
    missing column, an empty file, an unreadable curve); the message says
    what and where."""
