"""Equivalent-circuit parameter extraction.

Importing this module runs the whole extraction in the current directory
(which must hold input_params.json); afterwards the values below describe the
last recording processed.
"""

from typing import Any, Dict, List, Sequence, overload

import numpy as np
import numpy.typing as npt
import pandas as pd
from ecmgen import CustomEncoder as CustomEncoder
from ecmgen import write_battery_model_file as write_battery_model_file
from scipy.optimize import OptimizeResult

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

class CubicSpline:
    """The interpolating cubic OCV(SOC) spline with not-a-knot ends."""
    def __init__(self, x: Sequence[float], y: Sequence[float]) -> None: ...
    @overload
    def __call__(self, x: float, nu: int = ...) -> float: ...
    @overload
    def __call__(self, x: npt.ArrayLike, nu: int = ...) -> FloatArray: ...
    @property
    def x(self) -> FloatArray: ...
    @property
    def y(self) -> FloatArray: ...
    def get_knots(self) -> FloatArray: ...

def model1(x: npt.ArrayLike, r0: float, r1: float, c1: float) -> FloatArray: ...
def model2_r2c2(x: npt.ArrayLike, r2: float, c2: float) -> FloatArray: ...
def fit_ls1(params: Sequence[float]) -> FloatArray: ...
def fit_ls2(params: Sequence[float]) -> FloatArray: ...

# run configuration
values: Dict[str, Any]
workdir: str
vhigh: float
vcut: float
infiles: List[str]
infile: str
battery_capacity: int

# the recording
df: pd.DataFrame
temperature: int
temperature_txt: str
vraw: FloatArray
idx_end: int
v: FloatArray
t: FloatArray
iload: FloatArray
cum_mAh: FloatArray

# rests, loads and the OCV curve
counts: IntArray
bins: FloatArray
iload_ix: int
iload_th: float
idx_rest: IntArray
idx_load: IntArray
soc: FloatArray
vsoc: FloatArray
vsoc_itrp_3rd: CubicSpline
SOC: FloatArray
OCV_3rd: FloatArray
ind_all: IntArray
vsoc_time: FloatArray
vsoc_val: FloatArray
vsoc_val_itrp: FloatArray
ocv_diff: FloatArray
start_time: float
ind_slice: IntArray

# fitting
t_vec: FloatArray
xdata: FloatArray
ydata: FloatArray
iload_vec: FloatArray
gr0: float
gr1: float
gc1: float
res_init: OptimizeResult
res_opt_init: OptimizeResult
res_opt_1: OptimizeResult
res_opt_2: OptimizeResult
results: List[list]
fit_params: List[float]

# result table and files
df_results: pd.DataFrame
opt_avg: pd.Series
opt_median: pd.Series
bat_params: Dict[str, Any]
bat_params_file: str
ocv_file: str
