"""Piecewise linear densities fitted to the masses of their bins.

The work is done by the extension module ``zelvane.bake``; importing this
package alone loads neither it nor NumPy.
"""

__all__ = ["bake"]
