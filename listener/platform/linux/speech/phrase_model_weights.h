#pragma once

// The trained weights of the wake-phrase model, written by
// phrase_model/train.py. Convolutions are stored tap x input x output with
// their batch normalisation folded in; the first dense layer input x output,
// its input the last convolution's output time-major.
namespace hotword::speech::phrase_model {

extern const float conv0Weights[];
extern const float conv0Bias[];
extern const float conv1Weights[];
extern const float conv1Bias[];
extern const float conv2Weights[];
extern const float conv2Bias[];
extern const float conv3Weights[];
extern const float conv3Bias[];
extern const float dense0Weights[];
extern const float dense0Bias[];
extern const float dense1Weights[];
extern const float dense1Bias[];

}  // namespace hotword::speech::phrase_model

namespace hotword::speech::phrase_model {

// Log-mel rows 0, 57 and 159 of the reference signal (two seconds of a tone
// rising from 200 Hz over noise; see the test), and the model's probability
// for its first window, as the training code computed them.
extern const float referenceRows[];
extern const float referenceProbability[];

}  // namespace hotword::speech::phrase_model
