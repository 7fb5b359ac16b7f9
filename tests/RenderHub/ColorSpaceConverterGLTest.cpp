// Colour-space conversion on the GPU.
