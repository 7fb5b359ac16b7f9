// Transfer functions and conversion parameters.
