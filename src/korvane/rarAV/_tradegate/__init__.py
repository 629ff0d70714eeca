"""Implementation of ``korvane.rarAV.tradegate``; the public class lives in that module."""
