"""
The command line's plot
=======================

``zelvane fit TABLE --plot FILE`` fits every histogram of a table and draws the fit.
The table here is a census table written the way spreadsheets export it: a label
per bracket, thousands separated by commas, an open top row. ``--mean`` gives the
published mean, which the tail beyond $200,000 meets, and ``--bands`` adds the fit's
90 % confidence band, written beside the values and shaded in the plot. The same
program runs as ``python -m zelvane``; here :func:`zelvane.cli.main` runs it in this
process.
"""

import os
import tempfile

import matplotlib.image as mpimg
import matplotlib.pyplot as plt

from zelvane.cli import main

table = """bracket,households
"Less than $10,000","97,066"
"$10,000 to $14,999","66,389"
"$15,000 to $24,999","146,932"
"$25,000 to $34,999","160,214"
"$35,000 to $49,999","241,070"
"$50,000 to $74,999","377,013"
"$75,000 to $99,999","300,946"
"$100,000 to $149,999","419,009"
"$150,000 to $199,999","225,296"
"$200,000 or more","260,929"
"""
os.chdir(tempfile.mkdtemp())
with open("income.csv", "w") as f:
    f.write(table)

status = main(["fit", "income.csv", "--mean", "112000", "--bands", "-o", "income_fit.csv",
               "--plot", "income_fit.png", "--check"])
print("exit status", status)

image = mpimg.imread("income_fit.png")
fig = plt.figure(figsize=(image.shape[1] / 100, image.shape[0] / 100))
ax = fig.add_axes([0, 0, 1, 1])
ax.imshow(image)
ax.set_axis_off()
plt.show()
