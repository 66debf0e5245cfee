"""Building blocks shared by the package's modules; not a public interface."""
