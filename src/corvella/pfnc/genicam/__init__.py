"""The pieces of a GenICam pixel-format name."""
