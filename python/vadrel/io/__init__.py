"""File formats: readers and writers, one module per format."""
