"""File formats a matrix is read from and written to: matrix files, OMX, NumPy archives
and long-form CSV, each chosen by its file name ending (see `registry`)."""
