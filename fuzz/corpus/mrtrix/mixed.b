  # comment
1 0 0 1000 extra

0 1 0 1e3
0 0 1 nan
