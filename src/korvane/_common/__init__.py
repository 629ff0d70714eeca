"""Services shared by several korvane modules."""
