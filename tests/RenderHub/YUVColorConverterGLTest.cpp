// YUV conversion on the GPU.
