target_sources(tessaline_core PRIVATE
  src/ailayers/AILayers.cpp
  src/ailayers/TiledPrediction.cpp
  src/ailayers/Resources.cpp
  src/ailayers/ModelLogicOpenCL.cpp
)
