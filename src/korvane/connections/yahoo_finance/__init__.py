"""Daily equity data of index members from Yahoo Finance."""
