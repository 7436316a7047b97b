"""File formats a matrix converts to and from, chosen by file name extension."""
