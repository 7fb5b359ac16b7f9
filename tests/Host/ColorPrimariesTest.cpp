// Colour primaries and cross matrices.
