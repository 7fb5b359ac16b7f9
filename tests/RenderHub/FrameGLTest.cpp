// GPU frames.
