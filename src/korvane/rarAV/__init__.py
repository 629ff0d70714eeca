"""Machine-learning layer of the pairs factor: entry features, sample weights and the entry classifier."""
