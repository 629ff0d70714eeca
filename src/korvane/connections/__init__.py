"""Market-data connections that build universe tables from real sources."""
