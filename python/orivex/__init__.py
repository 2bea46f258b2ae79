"""orivex: checker and repairer of diffusion-MRI gradient tables."""

from _orivex import version as _version

__version__ = _version()
